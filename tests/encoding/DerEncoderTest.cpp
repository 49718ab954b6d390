// The DER writer and its composers: the shared vectors, refusals, the
// minimal SM2 INTEGERs, and OpenSSL parsing and re-encoding what we write.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/x509.h>

#include <cstring>

#include "encoding/Buffer.h"
#include "encoding/DerVectors.h"
#include "support/FaultPlatform.h"
#include "support/OpenSslRoundTrip.h"

namespace {

Bytes Repeat(size_t n, BYTE v) { return Bytes(n, v); }

TEST(DerEncoder, LengthOctets) {
  const struct {
    DWORD length;
    const char* octets;
  } cases[] = {
      {1, "01"},
      {127, "7F"},
      {128, "81 80"},
      {255, "81 FF"},
      {256, "82 01 00"},
      {65535, "82 FF FF"},
      {65536, "83 01 00 00"},
      {16777216, "84 01 00 00 00"},
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

TEST(DerEncoder, ASN1EncodeHeaders) {
  const struct {
    size_t length;
    const char* header;
  } cases[] = {{200, "30 81 C8"}, {300, "30 82 01 2C"}, {127, "30 7F"}, {65536, "30 83 01 00 00"}};
  for (const auto& c : cases) {
    const Bytes content = Repeat(c.length, 0x05);
    auto [hr2, out] =
        Produce([&](BYTE** o, DWORD* l) { return ASN1Encode(kTagSequence, content, o, l); });
    ASSERT_EQ(hr2, S_OK);
    const size_t headerLen = FromHex(c.header).size();
    ASSERT_EQ(out.size(), headerLen + c.length);
    EXPECT_EQ(ToHex(out.data(), headerLen), c.header);
    EXPECT_EQ(std::memcmp(out.data() + headerLen, content.data(), c.length), 0);
  }
}

TEST(DerEncoder, ASN1EncodeAcceptsOnlyItsIdentifiers) {
  const BYTE content[] = {0x00};
  for (int id = 0; id < 256; ++id) {
    const bool allowed = id == 0x02 || id == 0x04 || id == 0x06 || id == 0x0C || id == 0x13 ||
                         id == 0x16 || id == 0x1E || id == 0x30 || id == 0x31 || id == 0x80 ||
                         id == 0xA0;
    auto [hr, out] = Produce(
        [&](BYTE** o, DWORD* l) { return ASN1Encode(static_cast<BYTE>(id), content, o, l); });
    EXPECT_EQ(hr, allowed ? S_OK : E_FAIL) << id;
    EXPECT_EQ(out.empty(), !allowed);
    // Empty content is refused for every identifier.
    auto [hr0, out0] = Produce([&](BYTE** o, DWORD* l) {
      return ASN1Encode(static_cast<BYTE>(id), ByteView(content, 0), o, l);
    });
    EXPECT_EQ(hr0, E_FAIL) << id;
  }
}

const Bytes kSm2CurveOid = FromHex(kSm2CurveOidDer);
const Bytes kPrintable6 = FromHex("13 06 41 42 43 31 32 33");  // PrintableString "ABC123"
const Bytes kBits65 = Repeat(65, 0x04);

// What the composers refuse, with the status they give.
const struct {
  const char* name;
  Composer compose;
  HRESULT status;
} kRefusals[] = {
    {"PrintableString refuses @", AnyString(CERT_RDN_PRINTABLE_STRING, "a@b", 3),
     CRYPT_E_INVALID_PRINTABLE_STRING},
    {"IA5String refuses 0x80", AnyString(CERT_RDN_IA5_STRING, "a\x80", 2),
     CRYPT_E_INVALID_IA5_STRING},
    {"empty object identifier",
     [](BYTE** o, DWORD* l) { return ComposeSpecialAttribute("", kSm2CurveOid, o, l); },
     CRYPT_E_OID_FORMAT},
    {"malformed object identifier",
     [](BYTE** o, DWORD* l) { return ComposeObjectIdentifier("1..2", o, l); }, CRYPT_E_OID_FORMAT},
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
};

TEST(DerEncoder, ComposerRefusals) {
  for (const auto& c : kRefusals) {
    auto [hr, der] = Produce(c.compose);
    EXPECT_EQ(hr, c.status) << c.name;
    EXPECT_TRUE(der.empty()) << c.name;
  }
}

TEST(DerEncoder, BitStringOf65Octets) {
  auto [hr, der] = Produce([](BYTE** o, DWORD* l) { return ComposeBITString(kBits65, o, l); });
  ASSERT_EQ(hr, S_OK);
  Bytes expected = FromHex("03 42 00");  // 66 content octets: no unused bits, then the data
  expected.insert(expected.end(), kBits65.begin(), kBits65.end());
  EXPECT_EQ(der, expected);
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
  unsigned char* der = nullptr;
  const int len = i2d_ECDSA_SIG(sig, &der);
  Bytes out(der, der + len);
  OPENSSL_free(der);
  ECDSA_SIG_free(sig);
  return out;
}

TEST(DerEncoder, SM2SignatureShapes) {
  const struct {
    const char* name;
    const char* r;
    const char* s;
    const char* prefix;  // SEQUENCE header, r's header, r's first octets
    size_t length;
  } cases[] = {
      {"r top bit set, s not", "80", "7F", "30 45 02 21 00 80 11", 71},
      {"both top bits set", "FF", "80", "30 46 02 21 00 FF 11", 72},
      {"neither", "7F", "01", "30 44 02 20 7F 11", 70},
      // leading zero octets are dropped while the next octet is below 0x80
      {"r with one leading zero", "00 11", "22", "30 43 02 1F 11 11", 69},
      {"both with a leading zero", "00", "00", "30 42 02 1F 11 11", 68},
      {"r with three leading zeros", "00 00 00 7F", "22", "30 41 02 1D 7F 11", 67},
      // ...and one zero stays when the next octet has its top bit set
      {"r leading zero before 0x80", "00 80", "22", "30 44 02 20 00 80 11", 70},
      {"r leading zeros before 0x9A", "00 00 9A", "22", "30 43 02 1F 00 9A 11", 69},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes raw = RawSignature(FromHex(c.r), FromHex(c.s));
    auto [hr, der] = Produce([&](BYTE** o, DWORD* l) { return SM2EncodeRawSignature(raw, o, l); });
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(der.size(), c.length);
    const Bytes prefix = FromHex(c.prefix);
    EXPECT_EQ(ToHex(der.data(), prefix.size()), c.prefix);
    EXPECT_EQ(der, OpenSslSignature(raw));  // the minimal DER OpenSSL writes
  }
}

TEST(DerEncoder, SM2SignatureSizeIsChecked) {
  const Bytes raw(65, 0x42);
  for (DWORD length : {0u, 1u, 63u, 65u}) {
    auto [hr, der] = Produce([&](BYTE** o, DWORD* l) {
      return SM2EncodeRawSignature(ByteView(raw).first(length), o, l);
    });
    EXPECT_EQ(hr, static_cast<HRESULT>(0x8007000D)) << length;
    EXPECT_TRUE(der.empty());
  }
}

// OpenSSL's parser reads the attribute and the AlgorithmIdentifier we write
// and re-encodes them to the same octets.
TEST(DerEncoder, AttributeAndAlgorithmAreReencodedByOpenSsl) {
  auto [hr, der] = Produce([](BYTE** o, DWORD* l) {
    return ComposeStandardAttribute("1.2.840.113549.1.9.7", kPrintable6, o, l);
  });
  ASSERT_EQ(hr, S_OK);
  std::string out;
  ASSERT_EQ(OpenSslAsn1Parse(der, &out), 0) << out;
  EXPECT_NE(out.find("challengePassword"), std::string::npos) << out;
  EXPECT_EQ(OpenSslRoundTrip(der, d2i_X509_ATTRIBUTE, i2d_X509_ATTRIBUTE, X509_ATTRIBUTE_free),
            der);
  auto [hr2, algorithm] = Produce([](BYTE** o, DWORD* l) {
    return ComposeSpecialAttribute("1.2.840.10045.2.1", kSm2CurveOid, o, l);
  });
  ASSERT_EQ(hr2, S_OK);
  EXPECT_EQ(OpenSslRoundTrip(algorithm, d2i_X509_ALGOR, i2d_X509_ALGOR, X509_ALGOR_free),
            algorithm);
}

TEST(DerEncoder, LongObjectIdentifierUsesTheSequenceHeaderLength) {
  // 70 arcs of 200 (two octets each): the SEQUENCE needs the long form.
  std::string oid = "1.2";
  for (int i = 0; i < 70; ++i) oid += ".200";
  auto [hr, der] =
      Produce([&](BYTE** o, DWORD* l) { return ComposeObjectIdentifier(oid.c_str(), o, l); });
  ASSERT_EQ(hr, S_OK);
  ASSERT_EQ(der.size(), 3u + 141u);
  EXPECT_EQ(ToHex(der.data(), 5), "06 81 8D 2A 81");
  EXPECT_EQ(ToHex(der.data() + der.size() - 2, 2), "81 48");
}

// A platform encoder that fails hands its last error up, converted.
TEST(DerEncoder, PlatformFailureIsConverted) {
  FaultPlatform platform;
  static DWORD s_error;
  static int s_calls;
  platform.table.CryptEncodeObject = [](DWORD, LPCSTR, const void*, BYTE*, DWORD*) -> BOOL {
    ++s_calls;
    Plat().SetLastError(s_error);
    return FALSE;
  };
  const struct {
    DWORD error;
    HRESULT status;
  } cases[] = {{ERROR_OUTOFMEMORY, static_cast<HRESULT>(0x8007000E)},
               {0x20001234, static_cast<HRESULT>(0x80071234)},
               {static_cast<DWORD>(CRYPT_E_ASN1_ERROR), CRYPT_E_ASN1_ERROR},
               {0, E_FAIL}};
  for (const auto& c : cases) {
    s_error = c.error;
    s_calls = 0;
    auto [hr, der] = Produce([](BYTE** o, DWORD* l) { return ComposeBITString(kBits65, o, l); });
    EXPECT_EQ(hr, c.status) << c.error;
    EXPECT_EQ(s_calls, 1);
    EXPECT_TRUE(der.empty());
  }
}

}  // namespace
