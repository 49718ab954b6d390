// The provider and request methods against a scripted provider.
#include <gtest/gtest.h>

#include "support/AgentFixture.h"
#include "support/FakeProvider.h"

namespace {

constexpr HRESULT kKeyAlgorithm = static_cast<HRESULT>(0xA0072401);

void Select(ICryptoAgent* agent, const char16_t* algorithm, const char16_t* provider, LONG bits) {
  VARIANT_BOOL ok;
  Bstr a(algorithm), p(provider);
  if (algorithm) {
    ASSERT_EQ(agent->ZENQ_SetKeyAlgorithm(a, &ok), S_OK);
  }
  if (provider) {
    ASSERT_EQ(agent->ZENQ_SetCSPInfo(bits, p, &ok), S_OK);
  }
}

std::string Container(ICryptoAgent* agent) {
  BstrHolder name;
  agent->ZENQ_GetContainer(name.out());
  return Narrow(name.value);
}

TEST(RequestMethods, NoAlgorithmSelectedGivesEmptyResults) {
  FakeProvider fake;
  ScopedFakeProvider scope(&fake);
  AgentRef agent;
  Bstr subject(u"CN=Test,C=CN");
  BstrHolder out;
  EXPECT_EQ(agent->ZENQ_GetTempPublickey(out.out()), kKeyAlgorithm);
  EXPECT_EQ(SysStringLen(out.value), 0u);
  EXPECT_EQ(agent->ZENQ_PKCS10CertRequisition(subject, 1, 0, out.out()), kKeyAlgorithm);
  ASSERT_NE(out.value, nullptr);
  EXPECT_EQ(SysStringLen(out.value), 0u);
  EXPECT_EQ(agent->ZENQ_PKCS10CertRequisitionwithMD5(subject, 1, 0, out.out()), kKeyAlgorithm);
  EXPECT_TRUE(fake.log.empty()) << "nothing reaches the provider";
}

TEST(RequestMethods, Md5RefusesSm2BeforeLookingAtArguments) {
  FakeProvider fake;
  ScopedFakeProvider scope(&fake);
  AgentRef agent;
  Select(agent.get(), u"SM2", u"Keyloom SM2 Token Provider", 256);
  BstrHolder out;
  EXPECT_EQ(agent->ZENQ_PKCS10CertRequisitionwithMD5(nullptr, 7, 0, out.out()), kKeyAlgorithm);
}

TEST(RequestMethods, ArgumentChecks) {
  FakeProvider fake;
  ScopedFakeProvider scope(&fake);
  AgentRef agent;
  Select(agent.get(), u"rsa", u"Microsoft Enhanced Cryptographic Provider v1.0", 1024);
  Bstr subject(u"CN=Test,C=CN"), empty(u"");
  BstrHolder out;
  for (LONG type : {0, 3, -1}) {
    EXPECT_EQ(agent->ZENQ_PKCS10CertRequisition(subject, type, 0, out.out()), E_INVALIDARG);
    EXPECT_EQ(SysStringLen(out.value), 0u);
  }
  EXPECT_EQ(agent->ZENQ_PKCS10CertRequisition(empty, 1, 0, out.out()), E_INVALIDARG);
  EXPECT_EQ(agent->ZENQ_PKCS10CertRequisition(nullptr, 1, 0, out.out()), E_INVALIDARG);
  EXPECT_TRUE(fake.log.empty()) << "no key is created";
}

TEST(RequestMethods, RequestRemembersItsContainerAndFailureKeepsTheOldOne) {
  FakeProvider fake;
  fake.signature.assign(128, 0x5A);
  ScopedFakeProvider scope(&fake);
  AgentRef agent;
  Select(agent.get(), u"RSA", u"Microsoft Enhanced Cryptographic Provider v1.0", 1024);
  Bstr subject(u"CN=Test,C=CN"), bad(u"CN");
  BstrHolder out;
  ASSERT_EQ(agent->ZENQ_PKCS10CertRequisition(subject, 2, 1, out.out()), S_OK);
  const std::string text = Narrow(out.value);
  EXPECT_EQ(text.find("\r\n"), 64u);
  const std::string first = Container(agent.get());
  EXPECT_EQ(first.size(), 38u);
  // The signing key's flags reach CryptGenKey; the temporary key's are 0.
  EXPECT_EQ(CallsOf(fake, "CryptGenKey"),
            (std::vector<std::string>{"CryptGenKey alg=0x1 flags=0x4000000",
                                      "CryptGenKey alg=0x2 flags=0x4000001"}));

  EXPECT_EQ(agent->ZENQ_PKCS10CertRequisition(bad, 1, 0, out.out()), NTE_BAD_DATA);
  EXPECT_EQ(SysStringLen(out.value), 0u);
  EXPECT_EQ(Container(agent.get()), first);
}

TEST(RequestMethods, TemporaryPublicKeyIsOneLine) {
  FakeProvider fake;
  ScopedFakeProvider scope(&fake);
  ScopedSoftHomes homes;
  AgentRef agent;
  Select(agent.get(), u"RSA", u"Microsoft Enhanced Cryptographic Provider v1.0", 2048);
  BstrHolder out;
  ASSERT_EQ(agent->ZENQ_GetTempPublickey(out.out()), S_OK);
  // Base64 of the 140-octet RSAPublicKey: 188 characters, no line break.
  const std::string text = Narrow(out.value);
  EXPECT_EQ(text.size(), 188u);
  EXPECT_EQ(text.substr(0, 8), "MIGJAoGB");  // 30 81 89 02 81 81
  EXPECT_EQ(CallsOf(fake, "CryptGenKey"),
            std::vector<std::string>{"CryptGenKey alg=0x1 flags=0x4000000"});
  EXPECT_EQ(Container(agent.get()).size(), 38u);

  Select(agent.get(), u"SM2", u"Keyloom SM2 Token Provider", 256);
  ASSERT_EQ(agent->ZENQ_GetTempPublickey(out.out()), S_OK);
  EXPECT_EQ(Narrow(out.value).substr(0, 12), "ALQAAAABAAAg");  // 00 B4 00 00 00 01 00 00 20
}

TEST(ProviderMethods, ProviderListSkipsUnreadableEntries) {
  FakeProvider fake;
  fake.providers = {u"One", u"!", u"Two"};
  ScopedFakeProvider scope(&fake);
  AgentRef agent;
  BstrHolder list;
  ASSERT_EQ(agent->ZENQ_GetCSPInfo(list.out()), S_OK);
  EXPECT_EQ(Narrow(list.value), "One||Two");

  fake.providers = {u"Only"};
  ASSERT_EQ(agent->ZENQ_GetCSPInfo(list.out()), S_OK);
  EXPECT_EQ(Narrow(list.value), "Only");

  fake.providers = {};
  ASSERT_EQ(agent->ZENQ_GetCSPInfo(list.out()), S_OK);
  EXPECT_EQ(Narrow(list.value), "");

  fake.providers = {u"One", u"?"};
  BstrHolder failed;
  EXPECT_EQ(agent->ZENQ_GetCSPInfo(failed.out()), static_cast<HRESULT>(0x80070057));
  EXPECT_EQ(failed.value, nullptr);
}

TEST(ProviderMethods, PermissionProbeDeletesItsContainer) {
  FakeProvider fake;
  ScopedFakeProvider scope(&fake);
  AgentRef agent;
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(agent->ZENQ_HavePermissiontoGenerateKeyPair(&ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  const auto opens = CallsOf(fake, "CryptAcquireContextW");
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_NE(opens[0].find("Microsoft Base Cryptographic Provider v1.0 flags=0x8"),
            std::string::npos);
  EXPECT_NE(opens[1].find("flags=0x10"), std::string::npos);
  EXPECT_EQ(opens[0].substr(21, 38), opens[1].substr(21, 38));
  EXPECT_EQ(Container(agent.get()), "") << "the probe never changes the container";
}

TEST(ProviderMethods, PermissionProbeWithoutTheBaseProvider) {
  FakeProvider fake;
  fake.providers = {u"Microsoft Enhanced Cryptographic Provider v1.0"};
  ScopedFakeProvider scope(&fake);
  AgentRef agent;
  VARIANT_BOOL ok = VARIANT_TRUE;
  EXPECT_EQ(agent->ZENQ_HavePermissiontoGenerateKeyPair(&ok), E_ACCESSDENIED);
  EXPECT_EQ(ok, VARIANT_FALSE);
  EXPECT_TRUE(CallsOf(fake, "CryptAcquireContextW").empty());
}

}  // namespace

namespace {

// A platform that fails every enumeration with another error than
// ERROR_NO_MORE_ITEMS must not hold the page forever.
BOOL NeverEnds(DWORD, DWORD*, DWORD, DWORD*, char16_t*, DWORD*) {
  Plat().SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

TEST(ProviderMethods, ProviderListEndsOnEndlessFailures) {
  Platform table = DefaultPlatform();
  table.CryptEnumProvidersW = &NeverEnds;
  const Platform* previous = SetPlatform(&table);
  {
    AgentRef agent;
    BstrHolder list;
    EXPECT_EQ(agent->ZENQ_GetCSPInfo(list.out()), S_OK);
    EXPECT_EQ(Narrow(list.value), "");
  }
  SetPlatform(previous);
}

}  // namespace
