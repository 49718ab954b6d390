// The built module, loaded as a browser loads it, for tests of its exports.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "control/ICryptoAgent.h"

struct ControlModule {
  void* handle = nullptr;
  HRESULT (*GetClassObject)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT (*CanUnloadNow)() = nullptr;
  HRESULT (*RegisterServer)() = nullptr;
  HRESULT (*UnregisterServer)() = nullptr;
  HRESULT (*Install)(BOOL, const OLECHAR*) = nullptr;

  ControlModule() {
    handle = dlopen(KEYLOOM_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(handle, nullptr) << dlerror();
    if (!handle) return;
    GetClassObject = reinterpret_cast<decltype(GetClassObject)>(dlsym(handle, "DllGetClassObject"));
    CanUnloadNow = reinterpret_cast<decltype(CanUnloadNow)>(dlsym(handle, "DllCanUnloadNow"));
    RegisterServer = reinterpret_cast<decltype(RegisterServer)>(dlsym(handle, "DllRegisterServer"));
    UnregisterServer =
        reinterpret_cast<decltype(UnregisterServer)>(dlsym(handle, "DllUnregisterServer"));
    Install = reinterpret_cast<decltype(Install)>(dlsym(handle, "DllInstall"));
  }
  ~ControlModule() {
    if (handle) dlclose(handle);
  }
  ControlModule(const ControlModule&) = delete;
  ControlModule& operator=(const ControlModule&) = delete;

  // The class factory of CryptoAgent (referenced for the caller).
  IClassFactory* Factory() {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(GetClassObject(CLSID_CryptoAgent, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
              S_OK);
    return factory;
  }
};
