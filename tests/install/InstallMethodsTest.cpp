// The installation methods: the key each certificate type selects, names,
// trimmed texts, missing arguments, and the current container.
#include <gtest/gtest.h>

#include "install/InstallTestSupport.h"
#include "support/AgentFixture.h"
#include "support/StoreHelpers.h"

namespace {

struct InstallMethods : SoftHomesTest {
  AgentRef agent;
  VARIANT_BOOL ok = VARIANT_FALSE;
  void Select(const char16_t* algorithm) {
    ASSERT_TRUE(::Select(agent.get(), algorithm, kEnhanced, 1024));
    ok = VARIANT_FALSE;
  }
};

// Only type 1 selects the exchange key, which this container lacks: then
// nothing is written. "rsa" opens the container as "RSA" does; any other
// name uses the verify context, which a software provider refuses. The
// second import replaces the first; a text that is no Base64 stops first.
TEST_F(InstallMethods, SignCertificateTypeAndAlgorithm) {
  std::u16string name;
  const Pkey key = KeyInNewContainer(&name, AT_SIGNATURE);
  ASSERT_NE(key, nullptr);
  const Bytes der = CertOfKey(key.get());
  const std::string text = testca::Base64Field(der, 10, true);  // commas as some pages send
  const Bstr container((u"  " + name + u"  ").c_str());
  // certificate null: the key's certificate.
  const struct { const char16_t* algorithm; LONG type; const char* certificate; HRESULT hr; const char* step; }
  rows[] = {{u"rsa", 1, nullptr, NTE_NO_KEY, "CryptGetUserKey"},  // failures first
              {u"SM2", 0, nullptr, NTE_BAD_FLAGS, "SM2 CryptAcquireContext"},
              {u"RSA", 0, ",,,", E_FAIL, "base64 decode public key FAILED."},
              {u"rsa", 0, nullptr, S_OK, ""},
              {u"RSA", 7, nullptr, S_OK, ""}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    Select(row.algorithm);
    ScopedTraceRecorder consumer(0xF);
    const Bstr certificate(Wide("  " + (row.certificate ? row.certificate : text) + " ").c_str());
    EXPECT_EQ(agent->ZENQ_ImportSignCert(row.type, certificate, container, &ok), row.hr);
    EXPECT_EQ(agent.object()->LastStatus(), row.hr);
    EXPECT_EQ(ok, row.hr == S_OK ? VARIANT_TRUE : VARIANT_FALSE);
    EXPECT_TRUE(!*row.step || HasStep(std::string("ImportSignCert - ") + row.step, row.hr));
    const HCERTSTORE my = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    ASSERT_NE(my, nullptr);
    EXPECT_EQ(StoreCerts(my), row.hr == S_OK ? std::vector<Bytes>{der} : std::vector<Bytes>{});
    Plat().CertCloseStore(my, 0);
  }
  EXPECT_EQ(ContainerOf(agent.get()), "") << "a signing certificate leaves the container alone";
}

// The first missing argument's step; the encryption import makes the
// trimmed container current, also when the import fails, unless an
// argument is missing.
TEST_F(InstallMethods, MissingArgumentsAndTheCurrentContainer) {
  Select(u"RSA");
  const char16_t* const kNo = nullptr;
  const HRESULT kArg = E_INVALIDARG;
  const char *kSign = "CCryptoAgent::ZENQ_ImportSignCert - bstrSignCert Invalid parameter.",
             *kSignBox = "CCryptoAgent::ZENQ_ImportSignCert - bstrContainerName Invalid parameter.",
             *kEncrypt = "CCryptoAgent::ZENQ_ImportEncryptCert - Invalid parameter.";
  // sign: ZENQ_ImportSignCert, else ZENQ_ImportEncryptCert; hr S_FALSE: any failure inside the import.
  const struct { bool sign; const char16_t *a, *b, *c; HRESULT hr; const char *step, *container; } rows[] = {
      {true, kNo, u"box", kNo, kArg, kSign, ""},
      {true, u"MIIB", u"", kNo, kArg, kSignBox, ""},
      {false, u"", u"MIIB", u"box", kArg, kEncrypt, ""},
      {false, u"0001", u"MIIB", u" one box ", S_FALSE, "", "one box"},
      {false, u"0001", u"MIIB", kNo, kArg, kEncrypt, "one box"},
  };
  for (const auto& row : rows) {
    ScopedTraceRecorder consumer(0xF);
    const Bstr a(row.a), b(row.b), c(row.c);
    const HRESULT hr = row.sign ? agent->ZENQ_ImportSignCert(2, a, b, &ok)
                                : agent->ZENQ_ImportEncryptCert(a, b, c, 0, &ok);
    EXPECT_TRUE(row.hr == S_FALSE ? hr < 0 : hr == row.hr) << std::hex << hr;
    EXPECT_EQ(agent.object()->LastStatus(), hr);
    EXPECT_EQ(ok, VARIANT_FALSE);
    EXPECT_TRUE(!*row.step || HasStep(row.step, row.hr)) << row.step;
    EXPECT_EQ(ContainerOf(agent.get()), row.container);
  }
}

}  // namespace
