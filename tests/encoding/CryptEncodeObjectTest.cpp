// The platform's structure encoder through the platform table: the
// size-query convention, the DER of each structure, and its refusals.
#include <gtest/gtest.h>

#include "base/Platform.h"
#include "support/DerTestSupport.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Encodes through the table with the two-call pattern; on failure returns
// the last error in *error.
bool Encode(LPCSTR type, const void* info, Bytes* der, DWORD* error) {
  const Platform& p = Plat();
  DWORD size = 0;
  if (!p.CryptEncodeObject(kEncoding, type, info, nullptr, &size)) {
    *error = p.GetLastError();
    return false;
  }
  der->assign(size, 0xCC);
  DWORD written = size;
  if (!p.CryptEncodeObject(kEncoding, type, info, der->data(), &written)) {
    *error = p.GetLastError();
    return false;
  }
  EXPECT_EQ(written, size);
  der->resize(written);
  return true;
}

TEST(CryptEncodeObject, SizeQueryAndShortBuffer) {
  const BYTE data[] = {1, 2, 3};
  CRYPT_BIT_BLOB blob{3, const_cast<BYTE*>(data), 0};
  const Platform& p = Plat();
  DWORD size = 0;
  ASSERT_TRUE(p.CryptEncodeObject(kEncoding, X509_BITS, &blob, nullptr, &size));
  EXPECT_EQ(size, 6u);
  BYTE buffer[8] = {};
  DWORD small = 5;
  p.SetLastError(0);
  EXPECT_FALSE(p.CryptEncodeObject(kEncoding, X509_BITS, &blob, buffer, &small));
  EXPECT_EQ(p.GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(small, 6u);  // the size needed
  DWORD large = sizeof buffer;
  ASSERT_TRUE(p.CryptEncodeObject(kEncoding, X509_BITS, &blob, buffer, &large));
  EXPECT_EQ(large, 6u);
  EXPECT_EQ(ToHex(buffer, large), "03 04 00 01 02 03");
}

TEST(CryptEncodeObject, RefusesBadArguments) {
  const Platform& p = Plat();
  CRYPT_BIT_BLOB blob{0, nullptr, 0};
  DWORD size = 0;
  EXPECT_FALSE(p.CryptEncodeObject(kEncoding, X509_BITS, nullptr, nullptr, &size));
  EXPECT_EQ(p.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(p.CryptEncodeObject(kEncoding, X509_BITS, &blob, nullptr, nullptr));
  EXPECT_EQ(p.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(p.CryptEncodeObject(PKCS_7_ASN_ENCODING, X509_BITS, &blob, nullptr, &size));
  EXPECT_EQ(p.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  CRYPT_BIT_BLOB tooManyUnused{1, blob.pbData, 8};
  BYTE one = 0xFF;
  tooManyUnused.pbData = &one;
  EXPECT_FALSE(p.CryptEncodeObject(kEncoding, X509_BITS, &tooManyUnused, nullptr, &size));
  EXPECT_EQ(p.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

struct StringCase {
  const char* name;
  DWORD type;
  const char* value;  // bytes (UTF-16 text for types 12 and 13 is given separately)
  DWORD length;
  const char* der;  // empty when refused
  HRESULT error;
};

const StringCase kStrings[] = {
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
};

TEST(CryptEncodeObject, AnyStringByteTypes) {
  for (const StringCase& c : kStrings) {
    SCOPED_TRACE(c.name);
    CERT_NAME_VALUE v{c.type, {c.length, reinterpret_cast<BYTE*>(const_cast<char*>(c.value))}};
    Bytes der;
    DWORD error = 0;
    const bool ok = Encode(X509_ANY_STRING, &v, &der, &error);
    EXPECT_EQ(ok, c.error == 0);
    if (ok)
      EXPECT_EQ(ToHex(der), c.der);
    else
      EXPECT_EQ(static_cast<HRESULT>(error), c.error);
  }
}

TEST(CryptEncodeObject, AnyStringUnicodeTypes) {
  // "A", U+00E9, U+4E2D, an unpaired high surrogate, U+1F600
  static const char16_t text[] = u"A\u00E9\u4E2D\xD800\U0001F600";
  CERT_NAME_VALUE utf8{CERT_RDN_UTF8_STRING,
                       {12, reinterpret_cast<BYTE*>(const_cast<char16_t*>(text))}};
  Bytes der;
  DWORD error = 0;
  ASSERT_TRUE(Encode(X509_ANY_STRING, &utf8, &der, &error));
  // 41 | C3 A9 | E4 B8 AD | EF BF BD (U+FFFD) | F0 9F 98 80
  EXPECT_EQ(ToHex(der), "0C 0D 41 C3 A9 E4 B8 AD EF BF BD F0 9F 98 80");

  // A length of 0 reads the text up to its terminator, as the platform does.
  CERT_NAME_VALUE terminated{CERT_RDN_UTF8_STRING,
                             {0, reinterpret_cast<BYTE*>(const_cast<char16_t*>(u"Hi"))}};
  ASSERT_TRUE(Encode(X509_ANY_STRING, &terminated, &der, &error));
  EXPECT_EQ(ToHex(der), "0C 02 48 69");

  CERT_NAME_VALUE bmp{CERT_RDN_BMP_STRING,
                      {4, reinterpret_cast<BYTE*>(const_cast<char16_t*>(u"A\u4E2D"))}};
  ASSERT_TRUE(Encode(X509_ANY_STRING, &bmp, &der, &error));
  EXPECT_EQ(ToHex(der), "1E 04 00 41 4E 2D");

  CERT_NAME_VALUE unsupported{CERT_RDN_UNIVERSAL_STRING, {0, nullptr}};
  EXPECT_FALSE(Encode(X509_ANY_STRING, &unsupported, &der, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

TEST(CryptEncodeObject, AttributeValuesInSetOrder) {
  static const BYTE b[] = {0x13, 0x01, 0x42};            // "B"
  static const BYTE a[] = {0x13, 0x01, 0x41};            // "A"
  static const BYTE along[] = {0x13, 0x02, 0x41, 0x41};  // "AA"
  CRYPT_ATTR_BLOB values[] = {
      {3, const_cast<BYTE*>(b)}, {4, const_cast<BYTE*>(along)}, {3, const_cast<BYTE*>(a)}};
  CRYPT_ATTRIBUTE attr{const_cast<char*>("2.5.4.3"), 3, values};
  Bytes der;
  DWORD error = 0;
  ASSERT_TRUE(Encode(PKCS_ATTRIBUTE, &attr, &der, &error));
  EXPECT_EQ(ToHex(der), "30 11 06 03 55 04 03 31 0A 13 01 41 13 01 42 13 02 41 41");

  CRYPT_ATTRIBUTE none{const_cast<char*>("1.2.840.113549.1.1.1"), 0, nullptr};
  ASSERT_TRUE(Encode(PKCS_ATTRIBUTE, &none, &der, &error));
  EXPECT_EQ(ToHex(der), "30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 31 00");
}

TEST(CryptEncodeObject, ObjectIdentifierTexts) {
  const struct {
    const char* oid;
    const char* der;  // the OBJECT IDENTIFIER element; empty when refused
  } cases[] = {
      {"2.5.4.3", "06 03 55 04 03"},
      {"0.0", "06 01 00"},
      {"1.39", "06 01 4F"},
      {"2.100.3", "06 03 81 34 03"},
      {"1.2.840.113549", "06 06 2A 86 48 86 F7 0D"},
      {"1.2.18446744073709551615", "06 0B 2A 81 FF FF FF FF FF FF FF FF 7F"},
      {nullptr, ""},
      {"", ""},
      {"1", ""},
      {"3.1", ""},
      {"1.40", ""},
      {"0.40", ""},
      {"1.2.", ""},
      {".1.2", ""},
      {"1..2", ""},
      {"1.2a", ""},
      {"1.-2", ""},
      {" 1.2", ""},
      {"1.2.18446744073709551616", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.oid ? c.oid : "(null)");
    CRYPT_ATTRIBUTE attr{const_cast<char*>(c.oid), 0, nullptr};
    Bytes der;
    DWORD error = 0;
    const bool ok = Encode(PKCS_ATTRIBUTE, &attr, &der, &error);
    EXPECT_EQ(ok, *c.der != 0);
    if (!ok) {
      EXPECT_EQ(static_cast<HRESULT>(error), CRYPT_E_OID_FORMAT);
      continue;
    }
    const Bytes oid = FromHex(c.der);
    ASSERT_EQ(der.size(), 2 + oid.size() + 2);
    EXPECT_EQ(ToHex(der.data() + 2, oid.size()), c.der);
  }
}

TEST(CryptEncodeObject, BitsWithUnusedBits) {
  const BYTE data[] = {0xFF, 0xFF};
  CRYPT_BIT_BLOB blob{2, const_cast<BYTE*>(data), 3};
  Bytes der;
  DWORD error = 0;
  ASSERT_TRUE(Encode(X509_BITS, &blob, &der, &error));
  EXPECT_EQ(ToHex(der), "03 03 03 FF F8");
  CRYPT_BIT_BLOB empty{0, nullptr, 0};
  ASSERT_TRUE(Encode(X509_BITS, &empty, &der, &error));
  EXPECT_EQ(ToHex(der), "03 01 00");
}

TEST(CryptEncodeObject, StructuresNotEmulatedFail) {
  CERT_NAME_INFO name{};
  Bytes der;
  DWORD error = 0;
  const LPCSTR kX509Name = reinterpret_cast<LPCSTR>(7);  // X509_NAME: not emulated
  EXPECT_FALSE(Encode(kX509Name, &name, &der, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

}  // namespace
