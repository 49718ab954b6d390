// Loads the control module as a browser does and reaches its exports.
#pragma once

#include <string>

#include "base/ComTypes.h"

struct LoadedModule {
  void* handle = nullptr;
  HRESULT (*DllGetClassObject)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT (*DllCanUnloadNow)() = nullptr;
  HRESULT (*DllRegisterServer)() = nullptr;
  HRESULT (*DllUnregisterServer)() = nullptr;
  HRESULT (*DllInstall)(BOOL, const OLECHAR*) = nullptr;
};

// The module's path: $KEYLOOM_MODULE; else, of the folder above the tool's
// bin/, the installed module (lib/<multiarch>/keyloom/libkeyloom.so) or the
// build's lib/libkeyloom.so, whichever exists; else the module installed
// under the prefix the build was configured for.
std::string ModulePath(const char* argv0);

// Loads the module and resolves the five exports; false with a message in
// `error` when it cannot.
bool LoadModule(const std::string& path, LoadedModule* module, std::string* error);
void UnloadModule(LoadedModule* module);

// The module's resources for LoadStringW, none of its code run. Windows:
// the module at `path` mapped as an image resource (no DllMain, no imports
// resolved), so the tool reads what that module carries even when it is
// not the build the tool came from; `*resources` is then owned by the
// caller, who frees it with UnloadModuleResources. The soft platform's
// string table is linked into the tool as into the module (one generated
// table): `*resources` is null and `path` unused. False with a message in
// `error` when the module cannot be mapped.
bool LoadModuleResources(const std::string& path, HINSTANCE* resources, std::string* error);
void UnloadModuleResources(HINSTANCE resources);
