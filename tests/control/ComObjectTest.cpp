// QueryInterface, aggregation and IObjectSafety of the control object.
#include <gtest/gtest.h>

#include "support/AgentFixture.h"

namespace {

const IID kUnknownIid = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST(CryptoAgent, AnswersItsFourInterfacesAndNoOther) {
  AgentRef agent;
  for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_ICryptoAgent, &IID_IObjectSafety}) {
    IUnknown* p = nullptr;
    EXPECT_EQ(agent->QueryInterface(*iid, reinterpret_cast<void**>(&p)), S_OK);
    ASSERT_NE(p, nullptr);
    // IDispatch resolves to the ICryptoAgent part of the object.
    EXPECT_TRUE(iid != &IID_IDispatch || static_cast<void*>(p) == static_cast<void*>(agent.get()));
    p->Release();
  }
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(agent->QueryInterface(kUnknownIid, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
}

// An outer object that counts what the inner object delegates to it.
struct Outer final : IUnknown {
  int addRefs = 0, releases = 0;
  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = this;
    return S_OK;
  }
  ULONG AddRef() override { return ++addRefs; }
  ULONG Release() override { return ++releases; }
};

TEST(CryptoAgent, AggregatedObjectDelegatesToTheOuterUnknown) {
  Outer outer;  // (asked for any other interface: the class factory's test)
  IUnknown* inner = nullptr;
  ASSERT_EQ(CCryptoAgent::CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)),
            S_OK);
  ICryptoAgent* agent = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_ICryptoAgent, reinterpret_cast<void**>(&agent)), S_OK);
  // Interfaces of an aggregated object count on the outer object.
  EXPECT_EQ(outer.addRefs, 1);
  agent->Release();
  EXPECT_EQ(outer.releases, 1);
  IUnknown* viaAgent = nullptr;
  agent->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaAgent));
  EXPECT_EQ(viaAgent, &outer);  // QueryInterface delegates too
  EXPECT_EQ(inner->Release(), 0u);
}

TEST(ObjectSafety, OptionsMaskRules) {
  AgentRef agent;
  IObjectSafety* safety = nullptr;
  ASSERT_EQ(agent->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  DWORD supported = 9, enabled = 9;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_POINTER);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(kUnknownIid, &supported, &enabled), E_NOINTERFACE);
  EXPECT_EQ(supported, 0u);
  EXPECT_EQ(enabled, 0u);

  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 4), E_FAIL);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(kUnknownIid, 3, 3), E_NOINTERFACE);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), S_OK);
  // (mask, options) in turn and what is enabled after: bits outside the mask are kept.
  for (const auto& [mask, options, after] : {std::tuple{3u, 1u, 1u}, {2u, 2u, 3u}}) {
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, mask, options), S_OK);
    safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
    EXPECT_EQ(enabled, after);
  }
  safety->Release();
}

}  // namespace
