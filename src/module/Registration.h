// COM registration of the module: its registry scripts ("REGISTRY" 101,
// the AppID, and 102, the class) and its type library, machine-wide or,
// once DllInstall has asked for it, for the current user.
#pragma once

#include <string>
#include <vector>

#include "module/RegScript.h"

constexpr WORD kAppIdScript = 101;
constexpr WORD kClassScript = 102;

// The module's full path (at most MAX_PATH - 1 characters). Returns 0, the
// failing call's last-error status, or 0x8007007A when the path has 260
// characters or more.
HRESULT ModuleFilePath(std::u16string* path);

// The replacements the scripts use: Module (the path with each single quote
// doubled), Module_Raw (the path as it is) and APPID (the AppID in braces).
// Returns ModuleFilePath's status.
HRESULT ModuleReplacements(std::vector<RegReplacement>* replacements);

// Runs "REGISTRY" resource `id` of the module in register or unregister
// mode, in the module's per-user mode. Returns 0, the resource's
// last-error status, or the status of RunRegScriptText.
HRESULT UpdateRegistryFromResource(WORD id, bool install);

// Loads the module's type library (from the module, else from the file
// beside it whose extension is ".tlb") and registers or unregisters it;
// per user when the module is in per-user mode and the platform offers it.
// Returns 0 or the first failing call's status (E_FAIL when the ".tlb" path
// would not fit MAX_PATH).
HRESULT RegisterModuleTypeLib();
HRESULT UnregisterModuleTypeLib();

// The COM registration of DllRegisterServer and DllUnregisterServer: the
// scripts and the type library, under the system default locale, the
// thread's locale restored afterwards. Return the first failure or 0.
HRESULT RegisterComServer();
HRESULT UnregisterComServer();

// What registration installs besides COM, each outcome only traced: the two
// chain documents the module carries, then the trusted sites.
void InstallPrerequisites();

// Whether DllInstall's command line asks for per-user registration: "user"
// without regard to ASCII case, compared over five characters including the
// terminator (so "user " and "users" do not match). Null never matches.
bool IsPerUserCommandLine(const char16_t* commandLine);
