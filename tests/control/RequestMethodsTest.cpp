// The provider and request methods over the soft providers, recorded by the
// fault platform; a scripted enumeration stands in for unreadable providers.
#include <gtest/gtest.h>

#include "support/AgentFixture.h"
#include "support/FaultPlatform.h"

namespace {

constexpr HRESULT kKeyAlgorithm = static_cast<HRESULT>(0xA0072401);

class RequestMethods : public SoftHomesTest {
 protected:
  FaultPlatform platform_;
  AgentRef agent_;
};

// Refusals that come before any key is made: no algorithm selected, MD5
// with SM2 (refused before its arguments are looked at), a bad type or subject.
TEST_F(RequestMethods, RefusalsComeBeforeAnyKey) {
  Bstr subject(u"CN=Test,C=CN"), empty(u"");
  BstrHolder out;
  EXPECT_EQ(agent_->ZENQ_GetTempPublickey(out.out()), kKeyAlgorithm);
  EXPECT_EQ(SysStringLen(out.value), 0u);
  EXPECT_EQ(agent_->ZENQ_PKCS10CertRequisition(subject, 1, 0, out.out()), kKeyAlgorithm);
  ASSERT_NE(out.value, nullptr);
  EXPECT_EQ(SysStringLen(out.value), 0u);
  EXPECT_EQ(agent_->ZENQ_PKCS10CertRequisitionwithMD5(subject, 1, 0, out.out()), kKeyAlgorithm);
  ASSERT_TRUE(Select(agent_.get(), u"SM2", kSm2Token, 256));
  EXPECT_EQ(agent_->ZENQ_PKCS10CertRequisitionwithMD5(nullptr, 7, 0, out.out()), kKeyAlgorithm);
  ASSERT_TRUE(Select(agent_.get(), u"rsa", kEnhanced, 1024));
  for (const auto& [name, type] : {std::pair{BSTR(subject), 0}, {BSTR(subject), 3}, {BSTR(subject), -1},
                                   {BSTR(empty), 1}, {BSTR(nullptr), 1}}) {
    EXPECT_EQ(agent_->ZENQ_PKCS10CertRequisition(name, type, 0, out.out()), E_INVALIDARG);
    EXPECT_EQ(SysStringLen(out.value), 0u);
  }
  EXPECT_EQ(platform_.CountOf("CryptAcquireContextW") + platform_.CountOf("CryptGenKey"), 0u) << "no key is made";
}

TEST_F(RequestMethods, RequestRemembersItsContainerAndFailureKeepsTheOldOne) {
  ASSERT_TRUE(Select(agent_.get(), u"RSA", kEnhanced, 1024));
  Bstr subject(u"CN=Test,C=CN"), bad(u"CN");
  BstrHolder out;
  ASSERT_EQ(agent_->ZENQ_PKCS10CertRequisition(subject, 2, 1, out.out()), S_OK);
  const std::string first = ContainerOf(agent_.get());
  EXPECT_EQ(first.size(), 38u);
  // The page's flags go to the signing key only.
  const auto gen = platform_.CallsOf("CryptGenKey");
  ASSERT_EQ(gen.size(), 2u);
  EXPECT_EQ(gen[0].Number("algId"), static_cast<uint64_t>(AT_KEYEXCHANGE));
  EXPECT_EQ(gen[0].Number("flags") & 0xFFFF, 0u);
  EXPECT_EQ(gen[1].Number("algId"), static_cast<uint64_t>(AT_SIGNATURE));
  EXPECT_EQ(gen[1].Number("flags") & 0xFFFF, 1u);

  EXPECT_EQ(agent_->ZENQ_PKCS10CertRequisition(bad, 1, 0, out.out()), NTE_BAD_DATA);
  EXPECT_EQ(SysStringLen(out.value), 0u);
  EXPECT_EQ(ContainerOf(agent_.get()), first);
}

TEST_F(RequestMethods, PermissionProbeDeletesItsContainer) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(agent_->ZENQ_HavePermissiontoGenerateKeyPair(&ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  const auto opens = platform_.CallsOf("CryptAcquireContextW");
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_EQ(opens[1].Number("flags"), static_cast<uint64_t>(CRYPT_DELETEKEYSET));
  EXPECT_EQ(opens[1].Arg("container"), opens[0].Arg("container"));
  EXPECT_EQ(ContainerOf(agent_.get()), "") << "the probe never changes the container";
}

// The temporary key's diagnostic dump is a new file: a name made to exist
// (or linked) between the check and the creation is never reused.
TEST_F(RequestMethods, TemporaryKeyDumpIsCreatedNew) {
  ASSERT_TRUE(Select(agent_.get(), u"RSA", kEnhanced, 1024));
  BstrHolder out;
  ASSERT_EQ(agent_->ZENQ_GetTempPublickey(out.out()), S_OK);
  const auto creates = platform_.CallsOf("CreateFileW");
  ASSERT_EQ(creates.size(), 1u);
  EXPECT_EQ(creates[0].Number("disposition"), static_cast<uint64_t>(CREATE_NEW));
}

// Scripted enumeration: "!" is an entry whose size query fails, "?" one
// that fails on fetch (both with ERROR_INVALID_PARAMETER); `endless` fails
// every index with that error and never says ERROR_NO_MORE_ITEMS.
std::vector<std::u16string> g_providers;
bool g_endless;

BOOL ScriptedProviders(DWORD index, DWORD*, DWORD, DWORD* type, char16_t* name, DWORD* size) {
  if (g_endless || index >= g_providers.size()) {
    Plat().SetLastError(g_endless ? ERROR_INVALID_PARAMETER : ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  const std::u16string& entry = g_providers[index];
  if (entry == u"!" || (entry == u"?" && name != nullptr)) {
    Plat().SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *type = PROV_RSA_FULL;
  *size = static_cast<DWORD>((entry.size() + 1) * 2);
  if (name) std::copy(entry.c_str(), entry.c_str() + entry.size() + 1, name);
  return TRUE;
}

TEST_F(RequestMethods, ProviderListAndProbeOverScriptedProviders) {
  platform_.table.CryptEnumProvidersW = &ScriptedProviders;
  // The probe fails as the listing does, else is refused: the base provider is missing.
  // list null: no list handed out.
  const struct { std::vector<std::u16string> providers; bool endless; HRESULT status; const char* list; } rows[] = {
      {{u"One", u"!", u"Two"}, false, S_OK, "One||Two"}, {{u"One", u"?"}, false, E_INVALIDARG, nullptr},
      {{}, true, S_OK, ""},  // ends on endless failures
      {{kEnhanced}, false, S_OK, "Microsoft Enhanced Cryptographic Provider v1.0"},
  };
  for (const auto& row : rows) {
    g_providers = row.providers;
    g_endless = row.endless;
    BstrHolder list;
    EXPECT_EQ(agent_->ZENQ_GetCSPInfo(list.out()), row.status);
    EXPECT_EQ(list.value ? Narrow(list.value) : "(null)", row.list ? row.list : "(null)");
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(agent_->ZENQ_HavePermissiontoGenerateKeyPair(&ok), row.list ? E_ACCESSDENIED : row.status);
    EXPECT_EQ(ok, VARIANT_FALSE);
  }
  EXPECT_EQ(platform_.CountOf("CryptAcquireContextW"), 0u);
}

}  // namespace
