// The import flows end to end with the test authority's envelopes: the
// format each provider takes (seen in the platform calls), the container's
// exchange key is the authority's key afterwards (OpenSSL compares and
// verifies), the certificate is bound to it; a failed unwrap leaves the
// temporary key and the stores as they were.
#include <gtest/gtest.h>

#include <algorithm>

#include "install/EncryptCert.h"
#include "install_keys/KeyTestSupport.h"
#include "support/FaultPlatform.h"
#include "support/StoreHelpers.h"
#include "testca/TestCa.h"

namespace {

// The container's exchange key now, as its public blob.
Bytes ExchangeBlob(const char16_t* provider, const std::u16string& container, bool sm2) {
  Prov prov;
  Key key;
  if (!prov.Acquire(container.c_str(), provider, sm2 ? CRYPT_VERIFYCONTEXT : 0) ||
      !Plat().CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &key.h))
    return {};
  return ExportKey(key.h, PUBLICKEYBLOB);
}

std::vector<Bytes> MyStore() {
  HCERTSTORE my = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
  std::vector<Bytes> certs = my ? StoreCerts(my) : std::vector<Bytes>{};
  if (my) Plat().CertCloseStore(my, 0);
  return certs;
}

using Flow = SoftHomesTest;

TEST_F(Flow, EachFormatInstallsTheAuthoritysKey) {
  char dir[] = "/tmp/keyloom-flow-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::string error, ignored;
  ASSERT_TRUE(testca::Init(std::string(dir) + "/ca", &error)) << error;
  const struct {
    const char16_t* provider;
    const char16_t* algorithm;
    int bits;
    unsigned long exponent;
    DWORD referenceBlob;  // octets handed to CryptImportKey; 0: the plain format
  } rows[] = {
      {kEnhanced, u"RSA", 1024, 3, 0},  // the key's own exponent 3
      {kEnhanced, u"rsa", 2048, 65537, 0},
      {kRsaToken, u"RSA", 1024, 65537, 0},
      {kRsaToken, u"RSA", 2048, 65537, 32},
      {kSm2Token, u"SM2", 1024, 0, 24},  // any key length
  };
  for (const auto& row : rows) {
    const bool sm2 = row.provider == kSm2Token;
    SCOPED_TRACE(Narrow(row.provider) + " " + std::to_string(row.bits));
    const TempKey t = MakeTempKey(row.provider, sm2, row.bits);
    testca::EnvelopeRequest request;
    request.alg = sm2 ? testca::Alg::kSm2 : testca::Alg::kRsa;
    request.temporaryKey = t.envelopeForm;
    request.bits = sm2 ? 256 : row.bits;
    request.exponent = row.exponent;
    request.subject = "CN=flow,C=CN";
    request.commas = 50;
    testca::EnvelopeResult made;
    ASSERT_TRUE(testca::MakeEnvelope(std::string(dir) + "/ca", request, &made, &error)) << error;
    FaultPlatform platform;
    EXPECT_EQ(S_OK, ImportEncryptCertEx({Wide(made.envelope), Wide(made.certificate), row.provider,
                                         t.container, row.algorithm, static_cast<DWORD>(row.bits),
                                         CRYPT_EXPORTABLE}));
    const auto imports = platform.CallsOf("CryptImportKey");
    EXPECT_EQ(row.referenceBlob == 0, platform.CountOf("CryptDecrypt") == 2);  // session, private key
    EXPECT_EQ(row.referenceBlob != 0, std::any_of(imports.begin(), imports.end(), [&](const auto& c) {
                return c.Number("dataLen") == row.referenceBlob;
              }));

    const Bytes blob = ExchangeBlob(row.provider, t.container, sm2);
    const Pkey installed = sm2 ? Sm2FromPublicBlob(blob) : RsaFromPublicBlob(blob);
    ASSERT_NE(nullptr, installed);
    EXPECT_EQ(1, EVP_PKEY_eq(installed.get(), made.key.get()));
    Prov prov;
    const Bytes data = Random(32);
    if (!sm2 && prov.Acquire(t.container.c_str(), row.provider, 0)) {
      EXPECT_TRUE(VerifyRsa(made.key.get(), EVP_sha256(), data,
                            SignData(prov.h, CALG_SHA_256, data, AT_KEYEXCHANGE)));
    }
    const std::vector<Bytes> my = MyStore();
    EXPECT_EQ(row.provider == kEnhanced, std::count(my.begin(), my.end(), made.certificateDer) == 1);
  }
  RunCommand("rm -rf '" + std::string(dir) + "'", &ignored);
}

TEST_F(Flow, BadPaddingLeavesTheTemporaryKey) {
  // The private key's last block ends in 00, which no PKCS#5 padding does.
  const TempKey t = MakeTempKey(kEnhanced, false, 1024);
  const Pkey temporary = RsaFromPublicBlob(t.publicBlob);
  ASSERT_NE(nullptr, temporary);
  const Bytes session(24, 0x5A);
  const std::u16string envelope = PlainEnvelope(
      temporary.get(), session, Encipher(EVP_des_ede3_ecb(), session, Bytes(64, 0x00), false));
  const std::string certificate = testca::Base64Field(CertOfKey(temporary.get()), 0, false);
  ScopedTraceRecorder consumer(0xF);
  EXPECT_EQ(NTE_BAD_DATA, ImportEncryptCertEx({envelope, Wide(certificate), kEnhanced, t.container,
                                               u"RSA", 1024, 0}));
  EXPECT_TRUE(HasStep("DecryptPrivateKeywithSessionKey - CryptDecrypt", NTE_BAD_DATA));
  EXPECT_EQ(ToHex(t.publicBlob), ToHex(ExchangeBlob(kEnhanced, t.container, false)));
  EXPECT_TRUE(MyStore().empty());
}

}  // namespace
