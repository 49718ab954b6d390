// The module's exports, reached through the loaded library as the COM
// runtime reaches them.
#include <gtest/gtest.h>

#include "support/LoadedControlModule.h"

namespace {

TEST(Exports, CanUnloadOnlyWhenNoControlLives) {
  ControlModule m;
  EXPECT_EQ(m.CanUnloadNow(), S_OK);
  IClassFactory* factory = m.Factory();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(m.CanUnloadNow(), S_OK) << "the cached factory holds no lock";
  IDispatch* first = nullptr;
  IDispatch* second = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&first)), S_OK);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&second)), S_OK);
  EXPECT_EQ(m.CanUnloadNow(), S_FALSE);
  first->Release();
  EXPECT_EQ(m.CanUnloadNow(), S_FALSE);
  second->Release();
  EXPECT_EQ(m.CanUnloadNow(), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(m.CanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(m.CanUnloadNow(), S_OK);
  factory->Release();
}

// What the COM runtime is told for another class and another interface.
TEST(Exports, ClassObjectRules) {
  ControlModule m;
  const CLSID other = {0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 6, 6, 7, 7}};
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(m.GetClassObject(other, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(p, nullptr);
  p = reinterpret_cast<void*>(1);
  EXPECT_EQ(m.GetClassObject(CLSID_CryptoAgent, IID_IDispatch, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
}

}  // namespace
