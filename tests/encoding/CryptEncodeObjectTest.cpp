// The platform's structure encoder through the platform table: the short
// buffer, and the DER of each string type the module writes.
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

TEST(CryptEncodeObject, AnyString) {
  const struct {
    const char* name;
    DWORD type;
    const void* value;  // octets, or UTF-16 text for the UTF-8 type
    DWORD length;
    const char* der;  // empty when refused
    HRESULT status;
  } cases[] = {
      {"octet string, any bytes", CERT_RDN_OCTET_STRING, "\x00\x80\xFF", 3, "04 03 00 80 FF", 0},
      {"printable", CERT_RDN_PRINTABLE_STRING, "Az09 '()+,-./:=?", 16,
       "13 10 41 7A 30 39 20 27 28 29 2B 2C 2D 2E 2F 3A 3D 3F", 0},
      {"printable refuses a zero byte", CERT_RDN_PRINTABLE_STRING, "a\0b", 3, "",
       CRYPT_E_INVALID_PRINTABLE_STRING},
      {"ia5", CERT_RDN_IA5_STRING, "a@b.c\x7F", 6, "16 06 61 40 62 2E 63 7F", 0},
      // "A", U+00E9, U+4E2D, an unpaired high surrogate, U+1F600:
      // 41 | C3 A9 | E4 B8 AD | EF BF BD (U+FFFD) | F0 9F 98 80
      {"UTF-8", CERT_RDN_UTF8_STRING, u"A\u00E9\u4E2D\xD800\U0001F600", 12,
       "0C 0D 41 C3 A9 E4 B8 AD EF BF BD F0 9F 98 80", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CERT_NAME_VALUE v{c.type, {c.length, Octets(c.value)}};
    auto [hr, der] = Encoded(X509_ANY_STRING, &v);
    EXPECT_EQ(hr, c.status);
    EXPECT_EQ(ToHex(der), c.der);
  }
}

}  // namespace
