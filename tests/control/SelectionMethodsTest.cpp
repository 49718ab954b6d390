// QueryInterface and IObjectSafety of the control object; the selection
// methods through its vtable, after coercion.
#include <gtest/gtest.h>

#include "support/AgentFixture.h"

namespace {

constexpr HRESULT kKeyLength = static_cast<HRESULT>(0xA0072400);
constexpr HRESULT kKeyAlgorithm = static_cast<HRESULT>(0xA0072401);

TEST(SetCSPInfo, AppliesTheKeyLengthTableTrimAndAmpersandRules) {
  // stored: the provider name after the call; null: `name`.
  const struct { LONG bits; const char16_t* name; HRESULT status; const char16_t* stored; } rows[] = {
      {1024, kBase, S_OK, nullptr},      {2048, kBase, kKeyLength, u""},
      {4096, kEnhanced, S_OK, nullptr},  {768, kEnhanced, kKeyLength, u""},
      {3072, u"Microsoft Strong Cryptographic Provider", kKeyLength, u""},
      // Not a software provider: any length, name trimmed of spaces.
      {0, u"  Keyloom SM2 Token Provider  ", S_OK, u"Keyloom SM2 Token Provider"},
      {0xFFFF, u"Vendor CSP", S_OK, nullptr},  // the length fits the flags' upper 16 bits
      {65536, u"Vendor CSP", kKeyLength, u""},  // beyond the 16 bits the length travels in
      {-1024, u"Vendor CSP", kKeyLength, u""},
      {3000, u"microsoft base provider", S_OK, nullptr},  // the test for "Microsoft" is case-sensitive
      {1024, u"A&amp;B&amp;C", S_OK, u"A&B&amp;C"},  // only the first "&amp;" becomes "&"
      {1024, nullptr, E_INVALIDARG, u""}, {1024, u"    ", E_INVALIDARG, u""},
  };
  for (const auto& r : rows) {
    AgentRef agent;
    Bstr name(r.name);
    VARIANT_BOOL ok = 7;
    SCOPED_TRACE(Narrow(r.name ? r.name : u"(null)"));
    EXPECT_EQ(agent->ZENQ_SetCSPInfo(r.bits, name, &ok), r.status);
    EXPECT_EQ(ok, r.status == S_OK ? VARIANT_TRUE : 7) << "the flag is written only on success";
    EXPECT_EQ(agent.object()->CSPName(), std::u16string(r.stored ? r.stored : r.name));
    EXPECT_EQ(agent.object()->KeyLength(), r.status == S_OK ? r.bits : 0);
  }
}

TEST(SetKeyAlgorithm, AcceptsRsaAndSm2InAnyCase) {
  const struct { const char16_t* text; HRESULT status; const char16_t* stored; } rows[] = {
      {u"rSa", S_OK, u"rSa"}, {u"  sm2  ", S_OK, u"sm2"},
      {u"\tSM2", kKeyAlgorithm, u""},  // only spaces are trimmed
      {u"   ", E_INVALIDARG, u""}, {nullptr, E_INVALIDARG, u""},
  };
  for (const auto& r : rows) {
    AgentRef agent;
    Bstr text(r.text);
    VARIANT_BOOL ok = VARIANT_FALSE;
    SCOPED_TRACE(Narrow(r.text ? r.text : u"(null)"));
    EXPECT_EQ(agent->ZENQ_SetKeyAlgorithm(text, &ok), r.status);
    EXPECT_EQ(ok, r.status == S_OK ? VARIANT_TRUE : VARIANT_FALSE);
    EXPECT_EQ(agent.object()->KeyAlgorithmName(), std::u16string(r.stored));
  }
}

// A refused selection keeps the earlier one; reading the refusal's text does
// not reset the last status.
TEST(Selection, RefusalKeepsTheEarlierSelection) {
  AgentRef agent;
  Bstr enhanced(kEnhanced), base(kBase), rsa(u"RSA"), ecc(u"ECC");
  VARIANT_BOOL ok;
  ASSERT_EQ(agent->ZENQ_SetCSPInfo(2048, enhanced, &ok), S_OK);
  EXPECT_EQ(agent->ZENQ_SetCSPInfo(2048, base, &ok), kKeyLength);
  EXPECT_EQ(agent.object()->CSPName(), kEnhanced);
  EXPECT_EQ(agent.object()->KeyLength(), 2048);
  ASSERT_EQ(agent->ZENQ_SetKeyAlgorithm(rsa, &ok), S_OK);
  EXPECT_EQ(agent->ZENQ_SetKeyAlgorithm(ecc, &ok), kKeyAlgorithm);
  EXPECT_EQ(agent.object()->KeyAlgorithmName(), u"RSA");
  EXPECT_NE(LastErrorText(agent.get()).find("(0xa0072401)"), std::string::npos);
  EXPECT_EQ(agent.object()->LastStatus(), kKeyAlgorithm);
}

const IID kUnknownIid = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST(ObjectSafety, OptionsMaskRules) {
  AgentRef agent;
  IObjectSafety* safety = nullptr;
  ASSERT_EQ(agent->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  void* none = reinterpret_cast<void*>(1);  // the other interfaces: every other test asks for them
  EXPECT_EQ(agent->QueryInterface(kUnknownIid, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  DWORD supported = 9, enabled = 9;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 0u);
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
