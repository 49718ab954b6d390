// The import flows end to end, with the test authority's envelopes for a
// temporary key made in the provider: the container's exchange key is the
// authority's key afterwards (OpenSSL compares and verifies), the
// certificate is bound to it; the format each provider takes is seen in
// the platform calls; a failed import leaves the temporary key in place.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>

#include "install/EncryptCert.h"
#include "install/Sm2Import.h"
#include "install_keys/KeyTestSupport.h"
#include "request/Sm2TempKey.h"
#include "support/FaultPlatform.h"
#include "support/StoreHelpers.h"
#include "testca/TestCa.h"

namespace {

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

struct TempKey {
  std::u16string container;
  Bytes envelopeForm;  // RSAPublicKey DER, or the 136-octet SM2 form
  Bytes publicBlob;
};

// A new container of `provider` with a temporary exchange key (RSA of
// `bits`, or SM2).
TempKey MakeTempKey(const char16_t* provider, bool sm2, int bits) {
  TempKey t{UniqueContainer("flow"), {}, {}};
  Prov prov;
  Key key;
  if (!prov.Acquire(t.container.c_str(), provider, CRYPT_NEWKEYSET) ||
      !Plat().CryptGenKey(prov.h, sm2 ? KL_CALG_SM2_KEYX : AT_KEYEXCHANGE,
                          sm2 ? 0 : static_cast<DWORD>(bits) << 16, &key.h))
    return t;
  t.publicBlob = ExportKey(key.h, PUBLICKEYBLOB);
  if (sm2) {
    Bytes form = t.publicBlob;
    DWORD length = static_cast<DWORD>(form.size());
    if (ConvertSM2TmpPublicKeyStructtoCANeeded(form.data(), &length) == S_OK)
      t.envelopeForm.assign(form.begin(), form.begin() + length);
  } else if (Pkey pub = RsaFromPublicBlob(t.publicBlob)) {
    t.envelopeForm = I2d<EVP_PKEY>(pub.get(), i2d_PublicKey);
  }
  return t;
}

// The exchange key of the container now, as its public blob.
Bytes ExchangeBlob(const char16_t* provider, const std::u16string& container, bool sm2) {
  Prov prov;
  Key key;
  if (!prov.Acquire(container.c_str(), provider, sm2 ? CRYPT_VERIFYCONTEXT : 0) ||
      !Plat().CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &key.h))
    return {};
  return ExportKey(key.h, PUBLICKEYBLOB);
}

class Flow : public SoftHomesTest {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/keyloom-flow-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = std::string(pattern) + "/ca";
    std::string error;
    ASSERT_TRUE(testca::Init(dir_, &error)) << error;
  }
  static void TearDownTestSuite() {
    std::string ignored;
    RunCommand("rm -rf '" + dir_.substr(0, dir_.size() - 3) + "'", &ignored);
  }

  testca::EnvelopeResult Envelope(const TempKey& t, bool sm2, int bits, unsigned long exponent) {
    testca::EnvelopeRequest request;
    request.alg = sm2 ? testca::Alg::kSm2 : testca::Alg::kRsa;
    request.temporaryKey = t.envelopeForm;
    request.bits = bits;
    request.exponent = exponent;
    request.subject = "CN=flow,O=Keyloom,C=CN";
    request.commas = 50;
    testca::EnvelopeResult result;
    std::string error;
    EXPECT_TRUE(testca::MakeEnvelope(dir_, request, &result, &error)) << error;
    return result;
  }

  static std::string dir_;
};
std::string Flow::dir_;

TEST_F(Flow, EachFormatInstallsTheAuthoritysKey) {
  const struct {
    const char16_t* provider;
    bool sm2;
    int bits;
    unsigned long exponent;
    bool inMyStore;  // else stored with the key
  } rows[] = {
      {kEnhanced, false, 1024, 65537, true},  // plain format
      {kEnhanced, false, 1024, 3, true},      // plain format, the key's own exponent
      {kRsaToken, false, 2048, 65537, false},  // encrypted format, opened by the token
      {kSm2Token, true, 256, 0, false},        // encrypted format, SM2
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Narrow(row.provider) + " " + std::to_string(row.bits) + " e " +
                 std::to_string(row.exponent));
    const TempKey t = MakeTempKey(row.provider, row.sm2, row.bits);
    ASSERT_FALSE(t.envelopeForm.empty());
    const testca::EnvelopeResult made = Envelope(t, row.sm2, row.bits, row.exponent);
    ASSERT_FALSE(made.envelope.empty());
    EXPECT_EQ(S_OK, ImportEncryptCertEx({Wide(made.envelope), Wide(made.certificate), row.provider,
                                         t.container, row.sm2 ? u"SM2" : u"rsa",
                                         static_cast<DWORD>(row.bits), CRYPT_EXPORTABLE}));

    const Bytes blob = ExchangeBlob(row.provider, t.container, row.sm2);
    const Pkey installed = row.sm2 ? Sm2FromPublicBlob(blob) : RsaFromPublicBlob(blob);
    ASSERT_NE(nullptr, installed);
    EXPECT_EQ(1, EVP_PKEY_eq(installed.get(), made.key.get()));
    if (!row.sm2) {  // the private half too: OpenSSL verifies what the container signs
      Prov prov;
      ASSERT_TRUE(prov.Acquire(t.container.c_str(), row.provider, 0));
      const Bytes data = Random(32);
      EXPECT_TRUE(VerifyRsa(made.key.get(), EVP_sha256(), data,
                            SignData(prov.h, CALG_SHA_256, data, AT_KEYEXCHANGE)));
    }
    HCERTSTORE my = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    const std::vector<Bytes> stored = my ? StoreCerts(my) : std::vector<Bytes>{};
    if (my) Plat().CertCloseStore(my, 0);
    const bool inMy = std::find(stored.begin(), stored.end(), made.certificateDer) != stored.end();
    EXPECT_EQ(row.inMyStore, inMy);
  }
}

TEST_F(Flow, FormatChoiceSeenInPlatformCalls) {
  // Every unwrap is refused, so each flow stops at its first key operation:
  // CryptDecrypt of the wrapped session key (plain) or CryptImportKey of a
  // reference blob of 32 (RSA) or 24 (SM2) octets (encrypted).
  const struct {
    const char16_t* provider;
    const char16_t* algorithm;
    DWORD keyLength;
    DWORD referenceBlob;  // 0: the plain format
  } rows[] = {
      {kSm2Token, u"SM2", 1024, 24},      {kSm2Token, u"sm2", 2048, 24},
      {kEnhanced, u"RSA", 1024, 0},       {kEnhanced, u"RSA", 2048, 0},
      {kEnhanced, u"rsa", 2048, 0},       {kRsaToken, u"RSA", 1024, 0},
      {kRsaToken, u"RSA", 2048, 32},
  };
  const TempKey rsa = MakeTempKey(kRsaToken, false, 1024), enhanced = MakeTempKey(kEnhanced, false, 1024),
                sm2 = MakeTempKey(kSm2Token, true, 256);
  const testca::EnvelopeResult rsaEnvelope = Envelope(rsa, false, 1024, 65537),
                               sm2Envelope = Envelope(sm2, true, 256, 0);
  for (const auto& row : rows) {
    SCOPED_TRACE(Narrow(row.provider) + " " + Narrow(row.algorithm) + " " + std::to_string(row.keyLength));
    const bool isSm2 = row.provider == kSm2Token;
    const testca::EnvelopeResult& made = isSm2 ? sm2Envelope : rsaEnvelope;
    const std::u16string& container =
        isSm2 ? sm2.container : row.provider == kEnhanced ? enhanced.container : rsa.container;
    FaultPlatform platform;
    platform.FailCall("CryptDecrypt", 0, static_cast<DWORD>(NTE_BAD_DATA));
    platform.FailCall("CryptImportKey", 0, static_cast<DWORD>(NTE_BAD_DATA));
    EXPECT_EQ(NTE_BAD_DATA, ImportEncryptCertEx({Wide(made.envelope), Wide(made.certificate),
                                                 row.provider, container, row.algorithm,
                                                 row.keyLength, 0}));
    const auto imports = platform.CallsOf("CryptImportKey");
    EXPECT_EQ(row.referenceBlob ? 0u : 1u, platform.CountOf("CryptDecrypt"));
    ASSERT_EQ(row.referenceBlob ? 1u : 0u, imports.size());
    if (row.referenceBlob) {
      EXPECT_EQ(row.referenceBlob, imports[0].Number("dataLen"));
    }
  }
}

TEST_F(Flow, BadPaddingLeavesTheTemporaryKey) {
  // An envelope written here: the 3DES key 01 02 .. 18 wrapped for the
  // temporary key, and a private key whose last block ends in 00 (no
  // PKCS#5 padding) enciphered with it.
  const TempKey t = MakeTempKey(kEnhanced, false, 1024);
  const Pkey temporary = RsaFromPublicBlob(t.publicBlob);
  ASSERT_NE(nullptr, temporary);
  Bytes session(24);
  for (size_t i = 0; i < 24; ++i) session[i] = static_cast<BYTE>(i + 1);
  const Bytes wrappedSession = PkeyEncrypt(temporary.get(), session, RSA_PKCS1_PADDING);
  const Bytes wrappedKey = Encipher(EVP_des_ede3_ecb(), session, Bytes(64, 0x00), false);
  auto field = [](const Bytes& octets) {
    const std::string text = testca::Base64Field(
        Tlv(0x30, {Tlv(0x02, {{0x00}}), Tlv(0x04, {octets})}), 0, true);
    char length[17];
    std::snprintf(length, sizeof length, "%016zu", text.size());
    return length + text;
  };
  const std::string envelope = "0000000000000001" "0000000000000001" "0000000000000306" +
                               field(wrappedSession) + field(wrappedKey);
  const Bytes cert = CertOfKey(temporary.get());
  const std::string certText = testca::Base64Field(cert, 0, false);

  EXPECT_EQ(NTE_BAD_DATA, ImportEncryptCertEx({Wide(envelope), Wide(certText), kEnhanced,
                                               t.container, u"RSA", 1024, 0}));
  EXPECT_EQ(ToHex(t.publicBlob), ToHex(ExchangeBlob(kEnhanced, t.container, false)));
  HCERTSTORE my = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
  ASSERT_NE(nullptr, my);
  EXPECT_TRUE(StoreCerts(my).empty());
  Plat().CertCloseStore(my, 0);
}

}  // namespace
