// The DER writer, its composers and its builder: the shared vectors,
// refusals, the minimal SM2 INTEGERs, lengths patched across the short/long
// form boundaries and sticky failures, all checked by OpenSSL's parser.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/x509.h>

#include <cstring>

#include "encoding/Buffer.h"
#include "encoding/DerBuilder.h"
#include "encoding/DerVectors.h"
#include "support/DerTestSupport.h"
#include "support/OpenSslRoundTrip.h"

namespace {

// The length octets alone (the builder's elements cross the same
// boundaries in NestedLengthsAcrossTheForms, read by OpenSSL).
TEST(DerEncoder, LengthOctets) {
  const struct { DWORD length; const char* octets; } cases[] = {
      {127, "7F"},         {128, "81 80"},           {255, "81 FF"},
      {256, "82 01 00"},   {65535, "82 FF FF"},      {65536, "83 01 00 00"},
      {0xFFFFFFFF, "84 FF FF FF FF"},
  };
  for (const auto& c : cases) {
    auto [hr, octets] =
        Produce([&](BYTE** o, DWORD* l) { return CalculateASNValueLength(c.length, o, l); });
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(ToHex(octets), c.octets) << c.length;
  }
  auto [hr, none] = Produce([](BYTE** o, DWORD* l) { return CalculateASNValueLength(0, o, l); });
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_TRUE(none.empty());
}

TEST(DerEncoder, WritesTheSharedVectors) {
  for (const DerVector& v : kDerVectors) {
    if (!v.compose) continue;
    auto [hr, der] = Produce(v.compose);
    EXPECT_EQ(hr, S_OK) << v.der;
    EXPECT_EQ(ToHex(der), v.der);
  }
}

// SM2EncodeRawSignature of the first `length` of 65 octets.
Composer RawSignatureOf(size_t length) {
  return [=](BYTE** o, DWORD* l) {
    const Bytes raw(65, 0x42);
    return SM2EncodeRawSignature(ByteView(raw).first(length), o, l);
  };
}

// What the composers refuse themselves, with the status they give (the
// platform encoder's own refusals are CryptEncodeObjectTest's).
const struct { const char* name; Composer compose; HRESULT status; } kRefusals[] = {
    // A value whose identifier ASN1Encode does not write (BOOLEAN 01 01 FF)
    // or whose content is empty (UTF8String 0C 00) cannot be re-encoded.
    {"special attribute with a BOOLEAN value",
     [](BYTE** o, DWORD* l) {
       return ComposeSpecialAttribute("2.5.4.3", FromHex("01 01 FF"), o, l);
     },
     E_FAIL},
    {"special attribute with an empty value",
     [](BYTE** o, DWORD* l) { return ComposeSpecialAttribute("2.5.4.3", FromHex("0C 00"), o, l); },
     E_FAIL},
    // A raw SM2 signature is r and s of 32 octets each, nothing else.
    {"SM2 signature of 63 octets", RawSignatureOf(63), static_cast<HRESULT>(0x8007000D)},
};

TEST(DerEncoder, ComposerRefusals) {
  for (const auto& c : kRefusals) {
    auto [hr, der] = Produce(c.compose);
    EXPECT_EQ(hr, c.status) << c.name;
    EXPECT_TRUE(der.empty()) << c.name;
  }
}

// 64 octets: r from `rHead` then 0x11 filler, s from `sHead` then 0x22.
Bytes RawSignature(const Bytes& rHead, const Bytes& sHead) {
  Bytes raw(64);
  for (int i = 0; i < 32; ++i) raw[i] = 0x11, raw[32 + i] = 0x22;
  std::copy(rHead.begin(), rHead.end(), raw.begin());
  std::copy(sHead.begin(), sHead.end(), raw.begin() + 32);
  return raw;
}

// OpenSSL's own DER of SEQUENCE { INTEGER r, INTEGER s } for the same raw value.
Bytes OpenSslSignature(const Bytes& raw) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(raw.data(), 32, nullptr), BN_bin2bn(raw.data() + 32, 32, nullptr));
  const Bytes out = I2d<ECDSA_SIG>(sig, i2d_ECDSA_SIG);
  ECDSA_SIG_free(sig);
  return out;
}

// The minimal DER OpenSSL writes for r and s (a zero octet before a top
// bit, leading zero octets dropped while the next octet is below 0x80).
TEST(DerEncoder, SM2SignatureShapes) {
  const struct { const char *r, *s; } cases[] = {
      {"FF", "80"}, {"00", "00"}, {"00 00 00 7F", "22"}, {"00 00 9A", "22"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.r) + " / " + c.s);
    const Bytes raw = RawSignature(FromHex(c.r), FromHex(c.s));
    auto [hr, der] = Produce([&](BYTE** o, DWORD* l) { return SM2EncodeRawSignature(raw, o, l); });
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(der, OpenSslSignature(raw));
  }
}

// OpenSSL's parser reads the attribute and the AlgorithmIdentifier the
// composers write (the shared vectors) and re-encodes them to the same octets.
TEST(DerEncoder, AttributeAndAlgorithmAreReencodedByOpenSsl) {
  const Bytes attribute = FromHex(kChallengeAttributeDer), algorithm = FromHex(kSm2AlgorithmDer);
  std::string out;
  ASSERT_EQ(OpenSslAsn1Parse(attribute, &out), 0) << out;
  EXPECT_NE(out.find("challengePassword"), std::string::npos) << out;
  EXPECT_EQ(OpenSslRoundTrip(attribute, d2i_X509_ATTRIBUTE, i2d_X509_ATTRIBUTE, X509_ATTRIBUTE_free),
            attribute);
  EXPECT_EQ(OpenSslRoundTrip(algorithm, d2i_X509_ALGOR, i2d_X509_ALGOR, X509_ALGOR_free), algorithm);
}

// `der` rebuilt by OpenSSL: each header read with ASN1_get_object and
// written again with ASN1_put_object (minimal lengths), descending into
// constructed elements. Equal to `der` only if every length is right and
// minimal; empty when OpenSSL cannot read it.
Bytes OpenSslRebuilt(const unsigned char*& p, const unsigned char* end) {
  Bytes out;
  while (p < end) {
    long length = 0;
    int tag = 0, cls = 0;
    const int kind = ASN1_get_object(&p, &length, &tag, &cls, end - p);
    if (kind & 0x80) return {};
    const unsigned char* contentEnd = p + length;
    const Bytes content = (kind & V_ASN1_CONSTRUCTED) ? OpenSslRebuilt(p, contentEnd)
                                                     : Bytes(p, contentEnd);
    p = contentEnd;
    if (content.size() != static_cast<size_t>(length)) return {};
    const size_t at = out.size();
    out.resize(at + ASN1_object_size(0, length, tag) - length);
    unsigned char* header = out.data() + at;
    ASN1_put_object(&header, kind & V_ASN1_CONSTRUCTED, length, tag, cls);
    out.insert(out.end(), content.begin(), content.end());
  }
  return out;
}

// SEQUENCE { [0] { OCTET STRING n } opened and closed, OCTET STRING n
// added whole }: the OCTET STRINGs cross the boundaries at n, the [0]
// (moving a patched element) at n + 2, the SEQUENCE at about 2n.
TEST(DerBuilder, NestedLengthsAcrossTheForms) {
  const struct { size_t n; const char* outerHeader; } rows[] = {
      {0, "30 06"},         {60, "30 7E"},         {61, "30 81 80"},
      {125, "30 82 01 00"}, {126, "30 82 01 03"},  {127, "30 82 01 05"},
      {128, "30 82 01 09"}, {255, "30 82 02 08"},  {256, "30 82 02 0C"},
      {65535, "30 83 02 00 0B"}, {65536, "30 83 02 00 0F"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.n);
    const Bytes content(row.n, 0x5A);
    DerBuilder b;
    const DerMark outer = DerOpen(&b, kTagSequence);
    const DerMark tagged = DerOpen(&b, kTagContext0);
    const DerMark octets = DerOpen(&b, kTagOctetString);
    DerAdd(&b, content);
    DerClose(&b, octets);
    DerClose(&b, tagged);
    DerAddElement(&b, kTagOctetString, content);
    DerClose(&b, outer);
    auto [hr, der] = Produce([&](BYTE** o, DWORD* l) { return DerFinish(&b, o, l); });
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(ToHex(der.data(), FromHex(row.outerHeader).size()), row.outerHeader);
    const unsigned char* p = der.data();
    EXPECT_EQ(OpenSslRebuilt(p, der.data() + der.size()), der);
  }
}

constexpr BYTE kOne[] = {0x01};
int g_composed;
HRESULT g_composerStatus;
// A composer that counts its runs and hands out one octet.
HRESULT Compose(BYTE** out, DWORD* outLen) {
  ++g_composed;
  *out = AllocZeroed(1), *outLen = 1;
  return g_composerStatus;
}

// The first failure sticks: later calls write nothing and run no composer,
// and DerFinish hands nothing out. An element left open fails DerFinish.
TEST(DerBuilder, FailuresStick) {
  const struct { const char* name; void (*fail)(DerBuilder*); HRESULT status; } rows[] = {
      {"left open", [](DerBuilder* b) { DerOpen(b, kTagSet); }, S_OK},
      {"closed out of order",
       [](DerBuilder* b) {
         const DerMark set = DerOpen(b, kTagSet);
         DerOpen(b, kTagSequence);
         DerClose(b, set);
       },
       E_FAIL},
      {"content beyond 32 bits", [](DerBuilder* b) { DerAdd(b, {kOne, 0x100000000ull}); }, E_FAIL},
      {"composer failed",
       [](DerBuilder* b) { g_composerStatus = NTE_BAD_DATA, DerAddComposed(b, Compose); },
       NTE_BAD_DATA},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    DerBuilder b;
    row.fail(&b);
    const size_t written = DerView(&b).size();
    g_composed = 0, g_composerStatus = S_OK;
    DerAddElement(&b, kTagInteger, kOne);
    EXPECT_EQ(DerAddComposed(&b, Compose), row.status);
    EXPECT_EQ(DerView(&b).size() == written, FAILED(row.status));
    EXPECT_EQ(g_composed, FAILED(row.status) ? 0 : 1);
    auto [hr, der] = Produce([&](BYTE** o, DWORD* l) { return DerFinish(&b, o, l); });
    EXPECT_EQ(hr, FAILED(row.status) ? row.status : E_FAIL);
    EXPECT_TRUE(der.empty());
  }
}

}  // namespace
