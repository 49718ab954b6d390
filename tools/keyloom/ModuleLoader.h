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
