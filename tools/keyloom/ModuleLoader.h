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

// The module's path: $KEYLOOM_MODULE, else lib/libkeyloom.so beside the
// tool's bin/ folder.
std::string ModulePath(const char* argv0);

// Loads the module and resolves the five exports; false with a message in
// `error` when it cannot.
bool LoadModule(const std::string& path, LoadedModule* module, std::string* error);
void UnloadModule(LoadedModule* module);
