// Request assembly against a scripted provider: the exact DER layout of the
// four request shapes, the byte order of signatures, the line breaking, and
// OpenSSL's reading of the result.
#include <gtest/gtest.h>

#include <algorithm>

#include "encoding/Buffer.h"
#include "request/Sm2TempKey.h"
#include "request/CertRequest.h"
#include "request/CertRequisition.h"
#include "request/RequestReader.h"
#include "support/Base64Text.h"
#include "support/DerTestSupport.h"
#include "support/FakeProvider.h"
#include "support/TestSupport.h"

namespace {

constexpr char16_t kEnhanced[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
constexpr char16_t kSm2[] = u"Keyloom SM2 Token Provider";

Bytes Counting(BYTE first, size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<BYTE>(first + i);
  return b;
}

bool Contains(const Bytes& hay, const Bytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// `openssl asn1parse` of the DER; empty when it refuses it.
std::string Asn1Parse(const Bytes& der) {
  std::string out;
  return OpenSslAsn1Parse(der, &out) == 0 ? out : std::string();
}

struct Request {
  HRESULT status;
  std::u16string container;
  std::string text;
  Bytes der;
};

Request Make(FakeProvider* fake, bool rsa, DWORD mode, ALG_ID hash,
             const char16_t* subject = u"CN=Test,C=CN", DWORD form = kAttributesSpecial) {
  ScopedFakeProvider scope(fake);
  Request r;
  char* text = nullptr;
  r.status = PKCS10CertRequisition(rsa ? kEnhanced : kSm2, subject, mode, mode, rsa,
                                   rsa ? 1024 : 256, &r.container, &text, form, 0, 0, hash);
  if (text) {
    r.text = text;
    r.der = Unbase64(r.text);
  }
  FreeBuffer(text);
  return r;
}

TEST(Pkcs10, RsaSingleHasNoAttributesAndAReversedSignature) {
  FakeProvider fake;
  fake.signature = Counting(0x01, 128);  // 01 02 .. 80 as the provider writes it
  const Request r = Make(&fake, true, 1, CALG_SHA1);
  ASSERT_EQ(r.status, S_OK);
  // ... 03 81 81 00 80 7F .. 01: the BIT STRING ends the request.
  Bytes tail = {0x03, 0x81, 0x81, 0x00};
  for (int i = 0x80; i >= 1; --i) tail.push_back(static_cast<BYTE>(i));
  ASSERT_GE(r.der.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), r.der.end() - tail.size()));
  // 30 0D 06 09 2A 86 48 86 F7 0D 01 01 05 05 00: sha1WithRSAEncryption
  EXPECT_TRUE(Contains(r.der, {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                               0x01, 0x01, 0x05, 0x05, 0x00}));
  const std::string parsed = Asn1Parse(r.der);
  EXPECT_NE(parsed.find(":commonName"), std::string::npos) << parsed;
  EXPECT_NE(parsed.find(":rsaEncryption"), std::string::npos);
  EXPECT_NE(parsed.find(":sha1WithRSAEncryption"), std::string::npos);
  EXPECT_EQ(parsed.find("cont [ 0 ]"), std::string::npos) << "a single request has no [0]";
  // The provider hashed exactly the certificationRequestInfo.
  ASSERT_GT(r.der.size(), 4u);
  const size_t bodyStart = 4;  // 30 82 LL LL
  EXPECT_TRUE(std::equal(fake.hashed.begin(), fake.hashed.end(), r.der.begin() + bodyStart));
  EXPECT_EQ(CallsOf(fake, "CryptCreateHash"), std::vector<std::string>{"CryptCreateHash alg=0x8004"});
  EXPECT_EQ(CallsOf(fake, "CryptGetUserKey"), std::vector<std::string>{"CryptGetUserKey spec=0x1"});
}

TEST(Pkcs10, RsaDoubleCarriesChallengeThenTemporaryKey) {
  FakeProvider fake;
  fake.signature = Counting(0x01, 128);
  const Request r = Make(&fake, true, 2, CALG_MD5);
  ASSERT_EQ(r.status, S_OK);
  // [0] A0 81 BB { challenge 30 13 06 09 .. 09 07 13 06 "739254",
  //   temporaryKey 30 81 A3 06 09 .. 09 3F 04 81 95 30 81 92 02 01 01 04 81 8C RSAPublicKey }
  Bytes attributes = {0xA0, 0x81, 0xBB, 0x30, 0x13, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                      0x0D, 0x01, 0x09, 0x07, 0x13, 0x06, '7',  '3',  '9',  '2',  '5',  '4',
                      0x30, 0x81, 0xA3, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01,
                      0x09, 0x3F, 0x04, 0x81, 0x95, 0x30, 0x81, 0x92, 0x02, 0x01, 0x01, 0x04,
                      0x81, 0x8C};
  const Bytes key = FakeProvider::RsaPublicKey();
  attributes.insert(attributes.end(), key.begin(), key.end());
  EXPECT_TRUE(Contains(r.der, attributes));
  // md5WithRSAEncryption
  EXPECT_TRUE(Contains(r.der, {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                               0x01, 0x01, 0x04, 0x05, 0x00}));
  EXPECT_EQ(CallsOf(fake, "CryptGenKey"),
            (std::vector<std::string>{"CryptGenKey alg=0x1 flags=0x4000000",
                                      "CryptGenKey alg=0x2 flags=0x4000000"}));
  EXPECT_EQ(CallsOf(fake, "CryptAcquireContextW").size(), 1u) << "one container for both keys";
  EXPECT_EQ(CallsOf(fake, "CryptReleaseContext").size(), 1u);
  const std::string parsed = Asn1Parse(r.der);
  EXPECT_NE(parsed.find(":challengePassword"), std::string::npos) << parsed;
  EXPECT_NE(parsed.find(":739254"), std::string::npos);
}

TEST(Pkcs10, StandardAttributeFormWrapsValuesInSets) {
  FakeProvider fake;
  fake.signature = Counting(0x01, 128);
  const Request r = Make(&fake, true, 2, CALG_SHA1, u"CN=Test,C=CN", kAttributesStandard);
  ASSERT_EQ(r.status, S_OK);
  // 30 15 06 09 .. 09 07 31 08 13 06 "739254"
  EXPECT_TRUE(Contains(r.der, {0x30, 0x15, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01,
                               0x09, 0x07, 0x31, 0x08, 0x13, 0x06, '7', '3', '9', '2', '5', '4'}));
  EXPECT_FALSE(Asn1Parse(r.der).empty());
}

// The reader tells the two attribute forms apart and finds the same values
// in both; the scripted provider's signature is no real one.
TEST(Pkcs10, ReaderTellsTheAttributeFormsApart) {
  for (const DWORD form : {kAttributesSpecial, kAttributesStandard}) {
    FakeProvider fake;
    fake.signature = Counting(0x01, 128);
    const Request r = Make(&fake, true, 2, CALG_SHA1, u"CN=Test,C=CN", form);
    RequestSummary read;
    ASSERT_EQ(ReadCertRequest(r.der, &read), S_OK);
    EXPECT_EQ(read.subject, u"CN=Test, C=CN");
    ASSERT_EQ(read.attributes.size(), 2u);
    for (const RequestAttribute& a : read.attributes) EXPECT_EQ(a.special, form == kAttributesSpecial);
    EXPECT_EQ(read.attributes[0].value, (Bytes{'7', '3', '9', '2', '5', '4'}));
    EXPECT_TRUE(Contains(r.der, read.attributes[1].value));
    EXPECT_EQ(read.attributes[1].value.size(), 140u);  // the exchange key's RSAPublicKey
    EXPECT_FALSE(read.signatureValid);
    EXPECT_EQ(read.signatureStatus, NTE_BAD_SIGNATURE);
  }
}

TEST(Pkcs10, Sm2SingleAndDoubleLayouts) {
  FakeProvider fake;
  fake.signature = Counting(0x01, 64);  // r = 01..20, s = 21..40, least significant first
  Request r = Make(&fake, false, 1, CALG_SHA1);
  ASSERT_EQ(r.status, S_OK);
  // subjectPublicKeyInfo: 30 59 30 13 06 07 2A 86 48 CE 3D 02 01 06 08 2A 81 1C CF 55 01 82 2D
  // 03 42 00 04 X(20 1F .. 01) Y(40 3F .. 21)
  Bytes spki = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02,
                0x01, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x03,
                0x42, 0x00, 0x04};
  for (int i = 0x20; i >= 0x01; --i) spki.push_back(static_cast<BYTE>(i));
  for (int i = 0x40; i >= 0x21; --i) spki.push_back(static_cast<BYTE>(i));
  EXPECT_TRUE(Contains(r.der, spki));
  // sm2sign-with-sm3 with NULL parameters
  EXPECT_TRUE(Contains(r.der, {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83,
                               0x75, 0x05, 0x00}));
  // signature: BIT STRING { SEQUENCE { INTEGER r = 20..01, INTEGER s = 40..21 } }
  Bytes sig = {0x03, 0x47, 0x00, 0x30, 0x44, 0x02, 0x20};
  for (int i = 0x20; i >= 0x01; --i) sig.push_back(static_cast<BYTE>(i));
  sig.insert(sig.end(), {0x02, 0x20});
  for (int i = 0x40; i >= 0x21; --i) sig.push_back(static_cast<BYTE>(i));
  EXPECT_TRUE(std::equal(sig.begin(), sig.end(), r.der.end() - sig.size()));
  EXPECT_EQ(CallsOf(fake, "CryptCreateHash"), std::vector<std::string>{"CryptCreateHash alg=0x800f"});
  EXPECT_FALSE(Asn1Parse(r.der).empty());

  FakeProvider fake2;
  fake2.signature = Counting(0x01, 64);
  r = Make(&fake2, false, 2, CALG_MD5);  // the hash identifier does not matter for SM2
  ASSERT_EQ(r.status, S_OK);
  // 30 81 9F 06 09 .. 09 3F 04 81 91 30 81 8E 02 01 01 04 81 88 then the 136-octet struct
  Bytes temp = {0x30, 0x81, 0x9F, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09,
                0x3F, 0x04, 0x81, 0x91, 0x30, 0x81, 0x8E, 0x02, 0x01, 0x01, 0x04, 0x81, 0x88,
                0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
  for (int i = 0x20; i >= 0x01; --i) temp.push_back(static_cast<BYTE>(i));
  EXPECT_TRUE(Contains(r.der, temp));
  EXPECT_TRUE(Contains(r.der, {0xA0, 0x81, 0xB7}));
  EXPECT_EQ(CallsOf(fake2, "CryptGenKey"),
            (std::vector<std::string>{"CryptGenKey alg=0xbe00 flags=0x1000000",
                                      "CryptGenKey alg=0x3e00 flags=0x1000000"}));
}

TEST(Pkcs10, Failures) {
  {  // an SM2 signature that is not 64 octets
    FakeProvider fake;
    fake.signature = Counting(0x01, 72);
    EXPECT_EQ(static_cast<uint32_t>(Make(&fake, false, 1, 0).status), 0x8007000Du);
  }
  {  // a hash the RSA request cannot name, after both keys exist
    FakeProvider fake;
    fake.signature = Counting(0x01, 128);
    const Request r = Make(&fake, true, 2, CALG_SHA_256);
    EXPECT_EQ(static_cast<uint32_t>(r.status), 0xA0072020u);
    EXPECT_EQ(r.container.size(), 38u) << "the container stays and is named";
    EXPECT_EQ(CallsOf(fake, "CryptGenKey").size(), 2u);
    EXPECT_TRUE(r.text.empty());
  }
  {  // a malformed subject
    FakeProvider fake;
    fake.signature = Counting(0x01, 128);
    EXPECT_EQ(Make(&fake, true, 1, CALG_SHA1, u"CN").status, NTE_BAD_DATA);
  }
  {  // a mode other than 1 or 2 creates nothing
    FakeProvider fake;
    EXPECT_EQ(Make(&fake, true, 3, CALG_SHA1).status, E_INVALIDARG);
    EXPECT_TRUE(fake.log.empty());
  }
  {  // signing refused by the provider
    FakeProvider fake;
    fake.signature = Counting(0x01, 128);
    fake.failCall = "CryptSignHashW";
    fake.failError = static_cast<DWORD>(NTE_BAD_KEYSET);
    EXPECT_EQ(Make(&fake, true, 1, CALG_SHA1).status, NTE_BAD_KEYSET);
    EXPECT_EQ(CallsOf(fake, "CryptDestroyHash").size(), 1u);
  }
}

TEST(Pkcs10, LargeBodyIsHashedIn16KiBPieces) {
  FakeProvider fake;
  fake.signature = Counting(0x01, 128);
  const std::u16string subject = u"CN=" + std::u16string(20000, u'a');
  const Request r = Make(&fake, true, 1, CALG_SHA1, subject.c_str());
  ASSERT_EQ(r.status, S_OK);
  const auto pieces = CallsOf(fake, "CryptHashData");
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], "CryptHashData 16384");
}

TEST(LineBreaking, SixtyFourCharacterLines) {
  struct {
    size_t length;
    size_t expectedLength;
    size_t lines;
  } rows[] = {{0, 0, 0}, {1, 1, 1}, {64, 64, 1}, {65, 67, 2}, {128, 130, 2}, {268, 276, 5}};
  for (const auto& row : rows) {
    const std::string text(row.length, 'A');
    char* out = nullptr;
    DWORD outLength = 0;
    ASSERT_EQ(TransformBase64EncodedDatatoHoldCRLFPer64Chars(text.c_str(), row.length, &out,
                                                             &outLength),
              S_OK);
    const std::string result(out, outLength);
    FreeBuffer(out);
    EXPECT_EQ(result.size(), row.expectedLength) << row.length;
    size_t breaks = 0;
    for (size_t at = 0; (at = result.find("\r\n", at)) != std::string::npos; at += 2) {
      EXPECT_EQ(at % 66, 64u);
      ++breaks;
    }
    EXPECT_EQ(breaks, row.lines ? row.lines - 1 : 0);
    EXPECT_NE(result.substr(result.size() >= 2 ? result.size() - 2 : 0), "\r\n");
  }
  // Existing line breaks are dropped before the text is broken again.
  const std::string input = std::string(76, 'B') + "\r\n" + std::string(10, 'C');
  char* out = nullptr;
  DWORD outLength = 0;
  ASSERT_EQ(TransformBase64EncodedDatatoHoldCRLFPer64Chars(input.c_str(),
                                                           static_cast<DWORD>(input.size()), &out,
                                                           &outLength),
            S_OK);
  EXPECT_EQ(std::string(out, outLength), std::string(64, 'B') + "\r\n" + std::string(12, 'B') +
                                             std::string(10, 'C'));
  FreeBuffer(out);
}

TEST(Sm2TempKey, ConvertsTheProviderBlobInPlace) {
  Bytes blob = FakeProvider::Sm2Blob();
  DWORD length = 140;
  ASSERT_EQ(ConvertSM2TmpPublicKeyStructtoCANeeded(blob.data(), &length), S_OK);
  EXPECT_EQ(length, 136u);
  // 00 B4 00 00 | 00 01 00 00 | X 20 1F .. 01 | 32 x 00 | Y 40 3F .. 21 | 32 x 00 | 4 x 00
  Bytes expected = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
  for (int i = 0x20; i >= 0x01; --i) expected.push_back(static_cast<BYTE>(i));
  expected.insert(expected.end(), 32, 0x00);
  for (int i = 0x40; i >= 0x21; --i) expected.push_back(static_cast<BYTE>(i));
  expected.insert(expected.end(), 32, 0x00);
  expected.insert(expected.end(), 4, 0x00);  // the rest of the old length is cleared
  EXPECT_EQ(blob, expected);

  Bytes shortBlob(139, 0x11);
  length = 139;
  EXPECT_EQ(static_cast<uint32_t>(ConvertSM2TmpPublicKeyStructtoCANeeded(shortBlob.data(), &length)),
            0x8007000Du);
  EXPECT_EQ(length, 139u);
  EXPECT_EQ(ConvertSM2TmpPublicKeyStructtoCANeeded(nullptr, &length), E_INVALIDARG);
}

}  // namespace
