// The platform's structure encoder through the platform table: the DER
// of each structure, and its refusals.
#include <gtest/gtest.h>

#include "encoding/DerEncoder.h"
#include "support/DerTestSupport.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

TEST(CryptEncodeObject, SizeQueryAndShortBuffer) {
  const BYTE data[] = {1, 2, 3};
  CRYPT_BIT_BLOB blob{3, const_cast<BYTE*>(data), 0};
  const Platform& p = Plat();
  DWORD size = 0;
  ASSERT_TRUE(p.CryptEncodeObject(kEncoding, X509_BITS, &blob, nullptr, &size));
  EXPECT_EQ(size, 6u);
  BYTE buffer[8] = {};
  DWORD small = 5;  // a short buffer is told the size, never written past
  p.SetLastError(0);
  EXPECT_FALSE(p.CryptEncodeObject(kEncoding, X509_BITS, &blob, buffer, &small));
  EXPECT_EQ(p.GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(small, 6u);
  DWORD large = sizeof buffer;
  ASSERT_TRUE(p.CryptEncodeObject(kEncoding, X509_BITS, &blob, buffer, &large));
  EXPECT_EQ(large, 6u);
  EXPECT_EQ(ToHex(buffer, large), "03 04 00 01 02 03");
}

BYTE* Octets(const void* p) { return static_cast<BYTE*>(const_cast<void*>(p)); }

// The DER of `info` as EncodeObject (size query, then value) hands it out.
Produced Encoded(LPCSTR type, const void* info) {
  return Produce([&](BYTE** o, DWORD* l) { return EncodeObject(type, info, o, l); });
}

constexpr HRESULT kNotImplemented = HRESULT_FROM_WIN32(ERROR_CALL_NOT_IMPLEMENTED);

TEST(CryptEncodeObject, AnyString) {
  const struct {
    const char* name;
    DWORD type;
    const void* value;  // octets, or UTF-16 text for the UTF-8 and BMP types
    DWORD length;
    const char* der;  // empty when refused
    HRESULT status;
  } cases[] = {
      {"octet string, any bytes", CERT_RDN_OCTET_STRING, "\x00\x80\xFF", 3, "04 03 00 80 FF", 0},
      {"empty octet string", CERT_RDN_OCTET_STRING, "", 0, "04 00", 0},
      {"printable", CERT_RDN_PRINTABLE_STRING, "Az09 '()+,-./:=?", 16,
       "13 10 41 7A 30 39 20 27 28 29 2B 2C 2D 2E 2F 3A 3D 3F", 0},
      {"printable refuses _", CERT_RDN_PRINTABLE_STRING, "a_b", 3, "",
       CRYPT_E_INVALID_PRINTABLE_STRING},
      {"printable refuses a zero byte", CERT_RDN_PRINTABLE_STRING, "a\0b", 3, "",
       CRYPT_E_INVALID_PRINTABLE_STRING},
      {"printable refuses UTF-8", CERT_RDN_PRINTABLE_STRING, "\xC3\xA9", 2, "",
       CRYPT_E_INVALID_PRINTABLE_STRING},
      {"ia5", CERT_RDN_IA5_STRING, "a@b.c\x7F", 6, "16 06 61 40 62 2E 63 7F", 0},
      {"ia5 refuses 0xFF", CERT_RDN_IA5_STRING, "\xFF", 1, "", CRYPT_E_INVALID_IA5_STRING},
      {"numeric", CERT_RDN_NUMERIC_STRING, "12 3", 4, "12 04 31 32 20 33", 0},
      {"numeric refuses letters", CERT_RDN_NUMERIC_STRING, "1a", 2, "",
       CRYPT_E_INVALID_NUMERIC_STRING},
      // "A", U+00E9, U+4E2D, an unpaired high surrogate, U+1F600:
      // 41 | C3 A9 | E4 B8 AD | EF BF BD (U+FFFD) | F0 9F 98 80
      {"UTF-8", CERT_RDN_UTF8_STRING, u"A\u00E9\u4E2D\xD800\U0001F600", 12,
       "0C 0D 41 C3 A9 E4 B8 AD EF BF BD F0 9F 98 80", 0},
      // A length of 0 reads the text up to its terminator, as the platform does.
      {"UTF-8 up to the terminator", CERT_RDN_UTF8_STRING, u"Hi", 0, "0C 02 48 69", 0},
      {"BMP", CERT_RDN_BMP_STRING, u"A\u4E2D", 4, "1E 04 00 41 4E 2D", 0},
      {"universal: not emulated", CERT_RDN_UNIVERSAL_STRING, nullptr, 0, "", kNotImplemented},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CERT_NAME_VALUE v{c.type, {c.length, Octets(c.value)}};
    auto [hr, der] = Encoded(X509_ANY_STRING, &v);
    EXPECT_EQ(hr, c.status);
    EXPECT_EQ(ToHex(der), c.der);
  }
}

const BYTE kB[] = {0x13, 0x01, 0x42}, kA[] = {0x13, 0x01, 0x41}, kAA[] = {0x13, 0x02, 0x41, 0x41};
CRYPT_ATTR_BLOB kValues[] = {{3, Octets(kB)}, {4, Octets(kAA)}, {3, Octets(kA)}};
const CRYPT_ATTRIBUTE kUnordered{const_cast<char*>("2.5.4.3"), 3, kValues};
const CRYPT_ATTRIBUTE kNoValues{const_cast<char*>("1.2.840.113549.1.1.1"), 0, nullptr};
const BYTE kFF[] = {0xFF, 0xFF};
const CRYPT_BIT_BLOB kUnusedBits{2, Octets(kFF), 3}, kNoBits{0, nullptr, 0};
const CERT_NAME_INFO kName{};

TEST(CryptEncodeObject, Structures) {
  const struct {
    const char* name;
    LPCSTR type;
    const void* info;
    const char* der;
    HRESULT status;
  } cases[] = {
      // PrintableString "B", "AA", "A": the SET OF in DER order.
      {"values in set order", PKCS_ATTRIBUTE, &kUnordered,
       "30 11 06 03 55 04 03 31 0A 13 01 41 13 01 42 13 02 41 41", 0},
      {"no values", PKCS_ATTRIBUTE, &kNoValues, "30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 31 00", 0},
      // FF FF with 3 unused bits: those bits are cleared.
      {"unused bits", X509_BITS, &kUnusedBits, "03 03 03 FF F8", 0},
      {"no bits", X509_BITS, &kNoBits, "03 01 00", 0},
      {"X509_NAME: not emulated", reinterpret_cast<LPCSTR>(7), &kName, "", kNotImplemented},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto [hr, der] = Encoded(c.type, c.info);
    EXPECT_EQ(hr, c.status);
    EXPECT_EQ(ToHex(der), c.der);
  }
}

// The OBJECT IDENTIFIER element of an attribute without values.
TEST(CryptEncodeObject, ObjectIdentifierTexts) {
  const struct {
    const char* oid;
    const char* der;  // empty when refused
  } cases[] = {
      {"2.5.4.3", "06 03 55 04 03"},
      {"0.0", "06 01 00"},
      {"1.39", "06 01 4F"},
      {"2.100.3", "06 03 81 34 03"},
      {"1.2.840.113549", "06 06 2A 86 48 86 F7 0D"},
      {"1.2.18446744073709551615", "06 0B 2A 81 FF FF FF FF FF FF FF FF 7F"},
      {nullptr, ""}, {"", ""}, {"1", ""}, {"3.1", ""}, {"1.40", ""}, {"0.40", ""},
      {"1.2.", ""}, {".1.2", ""}, {"1..2", ""}, {"1.2a", ""}, {"1.-2", ""}, {" 1.2", ""},
      {"1.2.18446744073709551616", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.oid ? c.oid : "(null)");
    auto [hr, der] =
        Produce([&](BYTE** o, DWORD* l) { return ComposeObjectIdentifier(c.oid, o, l); });
    EXPECT_EQ(hr, *c.der ? S_OK : CRYPT_E_OID_FORMAT);
    EXPECT_EQ(ToHex(der), c.der);
  }
}

}  // namespace
