// The built module, loaded as a browser loads it, for tests of its exports.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "control/ICryptoAgent.h"

// Loads the module for its lifetime; each of the five exports must be there.
struct ControlModule {
  void* handle = dlopen(KEYLOOM_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  HRESULT (*GetClassObject)(REFCLSID, REFIID, void**) = Bind<decltype(GetClassObject)>("DllGetClassObject");
  HRESULT (*CanUnloadNow)() = Bind<decltype(CanUnloadNow)>("DllCanUnloadNow");
  HRESULT (*RegisterServer)() = Bind<decltype(RegisterServer)>("DllRegisterServer");
  HRESULT (*UnregisterServer)() = Bind<decltype(UnregisterServer)>("DllUnregisterServer");
  HRESULT (*Install)(BOOL, const OLECHAR*) = Bind<decltype(Install)>("DllInstall");

  ControlModule() = default;
  ControlModule(const ControlModule&) = delete;
  ~ControlModule() {
    if (handle) dlclose(handle);
  }
  template <typename F>
  F Bind(const char* name) {
    EXPECT_NE(handle, nullptr) << dlerror();
    void* f = handle ? dlsym(handle, name) : nullptr;
    EXPECT_NE(f, nullptr) << name;
    return reinterpret_cast<F>(f);
  }
  // The class factory of CryptoAgent (referenced for the caller).
  IClassFactory* Factory() {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(GetClassObject(CLSID_CryptoAgent, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    return factory;
  }
};
