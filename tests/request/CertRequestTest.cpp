// Request assembly over the soft providers: the shapes verified by OpenSSL,
// failures and the resources they release, and the line breaking.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>

#include "encoding/Buffer.h"
#include "request/CertRequest.h"
#include "request/CertRequisition.h"
#include "request/RequestReader.h"
#include "request/Sm2TempKey.h"
#include "support/Base64Text.h"
#include "support/DerTestSupport.h"
#include "support/FaultPlatform.h"
#include "support/OpenSslDer.h"
#include "support/TestPki.h"
#include "support/TestSupport.h"

namespace {

bool Contains(const Bytes& hay, const Bytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

struct Request {
  HRESULT status;
  std::u16string container;
  std::string text;
  Bytes der;
};

Request Make(bool rsa, DWORD mode, ALG_ID hash, const char16_t* subject = u"CN=Test,C=CN",
             DWORD form = kAttributesSpecial) {
  Request r;
  char* text = nullptr;
  const RequisitionSettings settings{.providerName = rsa ? kEnhanced : kSm2Token,
                                     .algorithm = rsa ? KeyAlgorithm::Rsa : KeyAlgorithm::Sm2,
                                     .mode = mode,
                                     .keySpec = mode,
                                     .keyLength = rsa ? 1024u : 256u,
                                     .hashAlgorithm = hash,
                                     .attributeForm = form};
  r.status = PKCS10CertRequisition(settings, subject, &r.container, &text);
  if (text) r.text = text;
  r.der = Unbase64(r.text);
  FreeBuffer(text);
  return r;
}

// OpenSSL's EVP verification of the request's signature with the key of
// its own subjectPublicKeyInfo, over the exact certificationRequestInfo.
bool SignatureVerifies(const Bytes& der, bool rsa, const EVP_MD* md) {
  const std::vector<Bytes> request = DerChildren(der);
  const std::vector<Bytes> info = DerChildren(request.empty() ? der : request[0]);
  if (request.size() != 3 || info.size() < 3) return false;
  return EvpVerifies(KeyFromSpki(info[2]).get(), rsa ? md : EVP_sm3(), request[0],
                     BitStringOctets(request[2]), rsa ? nullptr : kSm2SignerId);
}

using Pkcs10 = SoftHomesTest;

// The four shapes and the PKCS#9 attribute form: each parses with OpenSSL,
// verifies and takes one container for both keys; the PKCS#9 form wraps
// each value in a SET, here the challenge: 31 08 13 06 "739254".
TEST_F(Pkcs10, ShapesVerifyAndUseOneContainer) {
  const struct {
    const char* name;
    bool rsa;
    DWORD mode;
    ALG_ID hash;
    DWORD form;
    const EVP_MD* md;
  } rows[] = {
      {"RSA single", true, 1, CALG_SHA1, kAttributesSpecial, EVP_sha1()},
      {"RSA double", true, 2, CALG_MD5, kAttributesSpecial, EVP_md5()},
      {"RSA double, PKCS#9 form", true, 2, CALG_SHA1, kAttributesStandard, EVP_sha1()},
      {"SM2 single", false, 1, CALG_SHA1, kAttributesSpecial, nullptr},
      {"SM2 double", false, 2, CALG_MD5, kAttributesSpecial, nullptr},  // the hash does not matter
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FaultPlatform platform;
    const Request r = Make(row.rsa, row.mode, row.hash, u"CN=Test,C=CN", row.form);
    ASSERT_EQ(r.status, S_OK);
    EXPECT_EQ(row.form == kAttributesStandard,
              Contains(r.der, FromHex("30 15 06 09 2A 86 48 86 F7 0D 01 09 07 31 08 13 06 37 33 39 32 35 34")));
    std::string parsed;
    EXPECT_EQ(OpenSslAsn1Parse(r.der, &parsed), 0) << parsed;
    EXPECT_NE(parsed.find(":commonName"), std::string::npos) << parsed;
    EXPECT_EQ(parsed.find("cont [ 0 ]") != std::string::npos, row.mode == 2) << parsed;
    EXPECT_TRUE(SignatureVerifies(r.der, row.rsa, row.md));
    EXPECT_EQ(platform.CountOf("CryptAcquireContextW"), 1u) << "one container for both keys";
    if (row.form != kAttributesStandard) continue;  // the reader of the special form: the enrollment tests
    RequestSummary read;
    ASSERT_EQ(ReadCertRequest(r.der, &read), S_OK);
    EXPECT_EQ(read.subject, u"CN=Test, C=CN");
    ASSERT_EQ(read.attributes.size(), 2u);
    EXPECT_FALSE(read.attributes[0].special || read.attributes[1].special);
    EXPECT_EQ(read.attributes[0].value, (Bytes{'7', '3', '9', '2', '5', '4'}));
    EXPECT_TRUE(Contains(r.der, read.attributes[1].value));
    EXPECT_EQ(read.attributes[1].value.size(), 140u);  // the exchange key's RSAPublicKey
    EXPECT_TRUE(read.signatureValid);
  }
}

// A provider whose SM2 signature is not 64 octets.
BOOL SeventyTwoOctetSignature(HCRYPTHASH, DWORD, const char16_t*, DWORD, BYTE* signature,
                              DWORD* length) {
  if (signature) std::fill(signature, signature + 72, BYTE{0x11});
  *length = 72;
  return TRUE;
}

// Failures that are no platform call failing (the fault sweep fails each
// of those; FaultPlatform checks that every handle is released).
TEST_F(Pkcs10, Failures) {
  const struct {
    const char* name;
    bool rsa;
    DWORD mode;
    ALG_ID hash;
    const char16_t* subject;
    uint32_t status;
    bool namedAfter;  // the container stays and is named
  } rows[] = {
      {"SM2 signature not of 64 octets", false, 1, 0, u"CN=Test", 0x8007000D, true},
      {"hash the RSA request cannot name", true, 2, CALG_SHA_256, u"CN=Test", 0xA0072020, true},
      {"malformed subject", true, 1, CALG_SHA1, u"CN", 0x80090005, true},
      {"mode other than 1 or 2", true, 3, CALG_SHA1, u"CN=Test", 0x80070057, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FaultPlatform platform;
    if (!row.rsa) platform.table.CryptSignHashW = &SeventyTwoOctetSignature;
    const Request r = Make(row.rsa, row.mode, row.hash, row.subject);
    EXPECT_EQ(static_cast<uint32_t>(r.status), row.status);
    EXPECT_TRUE(r.text.empty());
    EXPECT_EQ(r.container.size(), row.namedAfter ? 38u : 0u);
  }
}

TEST(LineBreaking, SixtyFourCharacterLines) {
  const struct {
    std::string in, out;
  } rows[] = {
      {std::string(64, 'A'), std::string(64, 'A')},  // no line break after the last line
      {std::string(65, 'A'), std::string(64, 'A') + "\r\nA"},
      // existing line breaks are dropped before the text is broken again
      {std::string(76, 'B') + "\r\n" + std::string(10, 'C'),
       std::string(64, 'B') + "\r\n" + std::string(12, 'B') + std::string(10, 'C')},
  };
  for (const auto& row : rows) {
    char* out = nullptr;
    DWORD length = 0;
    ASSERT_EQ(TransformBase64EncodedDatatoHoldCRLFPer64Chars(
                  row.in.c_str(), static_cast<DWORD>(row.in.size()), &out, &length),
              S_OK);
    EXPECT_EQ(std::string(out, length), row.out) << row.in.size();
    FreeBuffer(out);
  }
}

TEST(Sm2TempKey, ConvertsTheProviderBlobInPlace) {
  // The provider's blob: 06 02 00 00 00 BE 00 00 | 4 octets | X field: 01..20
  // then 32 x 00 | Y field: 21..40 then 32 x 00. The authority's form:
  // 00 B4 00 00 | 00 01 00 00 | X 20 1F .. 01 | 32 x 00 | Y 40 3F .. 21 |
  // 32 x 00 | 4 x 00 (the rest of the old length is cleared).
  Bytes blob = FromHex("06 02 00 00 00 BE 00 00"), expected = FromHex("00 B4 00 00 00 01 00 00");
  blob.resize(140);
  expected.resize(140);
  for (int i = 0; i < 32; ++i) {
    blob[12 + i] = expected[8 + 31 - i] = static_cast<BYTE>(1 + i);
    blob[76 + i] = expected[72 + 31 - i] = static_cast<BYTE>(0x21 + i);
  }
  DWORD length = 140;
  ASSERT_EQ(ConvertSM2TmpPublicKeyStructtoCANeeded(blob.data(), &length), S_OK);
  EXPECT_EQ(length, 136u);
  EXPECT_EQ(blob, expected);

  Bytes shortBlob(139, 0x11);
  length = 139;
  EXPECT_EQ(static_cast<uint32_t>(ConvertSM2TmpPublicKeyStructtoCANeeded(shortBlob.data(), &length)),
            0x8007000Du);
  EXPECT_EQ(length, 139u);
}

}  // namespace
