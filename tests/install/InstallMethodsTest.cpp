// The installation methods: the key each certificate type selects, the
// trimmed texts, missing arguments and their steps, and the current
// container around the encryption import.
#include <gtest/gtest.h>

#include "install/InstallTestSupport.h"
#include "support/AgentFixture.h"
#include "support/FaultPlatform.h"

namespace {

std::string Container(ICryptoAgent* agent) {
  BstrHolder name;
  agent->ZENQ_GetContainer(name.out());
  return Narrow(name.value);
}

struct InstallMethods : SoftHomesTest {
  AgentRef agent;
  VARIANT_BOOL ok = VARIANT_FALSE;
  void SetUp() override {
    Bstr algorithm(u"RSA"), provider(kEnhanced);
    ASSERT_EQ(agent->ZENQ_SetKeyAlgorithm(algorithm, &ok), S_OK);
    ASSERT_EQ(agent->ZENQ_SetCSPInfo(1024, provider, &ok), S_OK);
    ok = VARIANT_FALSE;
  }
};

// Only type 1 selects the exchange key, which this container lacks.
TEST_F(InstallMethods, CertificateTypeSelectsTheKey) {
  const MadeKey made = MakeKey(kEnhanced, AT_SIGNATURE);
  const std::string text = testca::Base64Field(made.certificate, 0, false);
  const Bstr certificate(Wide("  " + text + " ").c_str());
  const Bstr container((u"  " + made.container + u"  ").c_str());
  const struct {
    LONG type;
    DWORD spec;
    HRESULT hr;
  } rows[] = {{0, AT_SIGNATURE, S_OK}, {7, AT_SIGNATURE, S_OK}, {1, AT_KEYEXCHANGE, NTE_NO_KEY}};
  for (const auto& row : rows) {
    FaultPlatform platform;
    ok = VARIANT_FALSE;
    EXPECT_EQ(agent->ZENQ_ImportSignCert(row.type, certificate, container, &ok), row.hr);
    EXPECT_EQ(agent.object()->LastStatus(), row.hr);
    EXPECT_EQ(ok, row.hr == S_OK ? VARIANT_TRUE : VARIANT_FALSE);
    ASSERT_EQ(platform.CountOf("CryptGetUserKey"), 1u);
    EXPECT_EQ(platform.CallsOf("CryptGetUserKey")[0].Number("keySpec"), row.spec) << row.type;
    EXPECT_EQ(platform.CallsOf("CryptAcquireContextW")[0].Arg("container"),
              Narrow(made.container.c_str()));
  }
  EXPECT_EQ(MyStore(), std::vector<Bytes>{made.certificate});
  EXPECT_EQ(Container(agent.get()), "") << "a signing certificate leaves the container alone";
}

// The first missing argument's step; the encryption import makes the
// trimmed container current, also when the import fails, unless an
// argument is missing.
TEST_F(InstallMethods, MissingArgumentsAndTheCurrentContainer) {
  const char16_t* const kNo = nullptr;
  const HRESULT kArg = E_INVALIDARG;
  const char *kSign = "ImportSignCert - bstrSignCert Invalid parameter.",
             *kSignContainer = "ImportSignCert - bstrContainerName Invalid parameter.",
             *kEncrypt = "ImportEncryptCert - Invalid parameter.";
  const struct {
    bool sign;  // ZENQ_ImportSignCert, else ZENQ_ImportEncryptCert
    const char16_t *a, *b, *c;
    HRESULT hr;
    const char* step;  // for a failure before the import
    const char* container;
  } rows[] = {
      {true, kNo, u"box", kNo, kArg, kSign, ""},
      {true, u"", kNo, kNo, kArg, kSign, ""},
      {true, u"MIIB", u"", kNo, kArg, kSignContainer, ""},
      {false, u"", u"MIIB", u"box", kArg, kEncrypt, ""},
      {false, u"0001", u"MIIB", u" one box ", S_FALSE, "", "one box"},  // fails inside the import
      {false, u"0001", u"", u"other", kArg, kEncrypt, "one box"},
      {false, u"0001", u"MIIB", kNo, kArg, kEncrypt, "one box"},
  };
  for (const auto& row : rows) {
    ScopedTraceRecorder consumer(0xF);
    const Bstr a(row.a), b(row.b), c(row.c);
    const HRESULT hr = row.sign ? agent->ZENQ_ImportSignCert(2, a, b, &ok)
                                : agent->ZENQ_ImportEncryptCert(a, b, c, 0, &ok);
    if (row.hr == S_FALSE) EXPECT_LT(hr, 0);
    else EXPECT_EQ(hr, row.hr);
    EXPECT_EQ(agent.object()->LastStatus(), hr);
    EXPECT_EQ(ok, VARIANT_FALSE);
    EXPECT_TRUE(row.hr == S_FALSE || HasStep(row.step, row.hr)) << row.step;
    EXPECT_EQ(Container(agent.get()), row.container);
  }
}

}  // namespace
