// CertNameToStrW through the platform table: names built with OpenSSL (or
// written out byte by byte) and the text the platform renders for them.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "support/StoreHelpers.h"
#include "support/TestSupport.h"

namespace {

struct Attr {
  const char* field;     // OpenSSL short name or dotted number
  std::string value;     // UTF-8
  int type;              // MBSTRING_* or V_ASN1_*
  bool sameRdn = false;  // joins the previous relative name
};

Bytes NameDer(const std::vector<Attr>& attrs) {
  auto* name = X509_NAME_new();
  for (const Attr& a : attrs)
    X509_NAME_add_entry_by_txt(name, a.field, a.type,
                               reinterpret_cast<const unsigned char*>(a.value.data()),
                               static_cast<int>(a.value.size()), -1, a.sameRdn ? -1 : 0);
  const Bytes d = I2d<X509_NAME>(name, i2d_X509_NAME);
  X509_NAME_free(name);
  return d;
}

// Size query, then fill, as callers do.
std::string Render(const Bytes& der, DWORD strType) {
  CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), const_cast<BYTE*>(der.data())};
  const DWORD size = Plat().CertNameToStrW(kEncoding, &blob, strType, nullptr, 0);
  if (size == 0) return "<failed>";
  std::u16string text(size, u'\0');
  EXPECT_EQ(size, Plat().CertNameToStrW(kEncoding, &blob, strType, text.data(), size));
  EXPECT_EQ(u'\0', text[size - 1]);
  return Narrow(text.c_str());
}

constexpr DWORD kListing = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG |
                           CERT_NAME_STR_NO_QUOTING_FLAG;

TEST(NameTest, RendersAsThePlatformDoes) {
  struct Case { std::vector<Attr> name; DWORD strType; const char* text; } cases[] = {
      // Country first, common name last: reversed, the common name leads.
      {{{"C", "CN", MBSTRING_ASC}, {"CN", "Test User", MBSTRING_ASC}}, kListing,
       "CN=Test User, C=CN"},
      {{{"C", "CN", MBSTRING_ASC}, {"CN", "Test User", MBSTRING_ASC}}, CERT_X500_NAME_STR,
       "C=CN, CN=Test User"},
      // A multi-valued relative name keeps its values in encoded order (DER
      {{{"C", "CN", MBSTRING_ASC},  // sorts the set: CN 2.5.4.3 before OU 2.5.4.11).
        {"OU", "Retail", MBSTRING_ASC},
        {"CN", "Li Lei", MBSTRING_ASC, true}},
       kListing, "CN=Li Lei + OU=Retail, C=CN"},
      // E-mail as IA5String, the platform's short keys.
      {{{"emailAddress", "li.lei@example.com", MBSTRING_ASC},
        {"ST", "Beijing", MBSTRING_ASC},
        {"L", "Haidian", MBSTRING_ASC},
        {"street", "1 Main St", MBSTRING_ASC},
        {"title", "Clerk", MBSTRING_ASC},
        {"GN", "Lei", MBSTRING_ASC},
        {"SN", "Li", MBSTRING_ASC},
        {"serialNumber", "42", MBSTRING_ASC},
        {"DC", "example", MBSTRING_ASC},
        {"postalCode", "100080", MBSTRING_ASC}},
       CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG,
       "E=li.lei@example.com, S=Beijing, L=Haidian, STREET=1 Main St, T=Clerk, G=Lei, SN=Li, "
       "SERIALNUMBER=42, DC=example, PostalCode=100080"},
      // An attribute without a short key.
      {{{"1.2.3.4", "x", V_ASN1_PRINTABLESTRING}}, kListing, "OID.1.2.3.4=x"},
      // UTF-8 CJK (张三), and the same text as a BMPString.
      {{{"CN", "\xE5\xBC\xA0\xE4\xB8\x89", V_ASN1_UTF8STRING}}, kListing,
       "CN=\xE5\xBC\xA0\xE4\xB8\x89"},
      // Quoting: off with the flag, on without it.
      {{{"O", "Acme, Inc.", MBSTRING_ASC}}, kListing, "O=Acme, Inc."},
      {{{"O", "Acme, Inc.", MBSTRING_ASC}}, CERT_X500_NAME_STR, "O=\"Acme, Inc.\""},
      {{{"O", "say \"hi\"", MBSTRING_ASC}}, CERT_X500_NAME_STR, "O=\"say \"\"hi\"\"\""},
      {{{"C", "CN", MBSTRING_ASC}, {"CN", "A", MBSTRING_ASC}},  // Separators other than the comma.
       CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG, "C=CN; CN=A"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, Render(NameDer(c.name), c.strType));
  // SEQUENCE { SET { SEQUENCE { OID 2.5.4.10, BMPString 5F20 4E09 } } }: O=张三.
  const Bytes bmp = {0x30, 0x0F, 0x31, 0x0D, 0x30, 0x0B, 0x06, 0x03, 0x55,
                   0x04, 0x0A, 0x1E, 0x04, 0x5F, 0x20, 0x4E, 0x09};
  EXPECT_EQ("O=\xE5\xBC\xA0\xE4\xB8\x89", Render(bmp, kListing));
}

TEST(NameTest, NonStringValuesAndMalformedNames) {
  // CN as an OCTET STRING 01 02: "#" and the hexadecimal of its encoding.
  const Bytes octets = {0x30, 0x0D, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55,
                      0x04, 0x03, 0x04, 0x02, 0x01, 0x02};
  EXPECT_EQ("CN=#04020102", Render(octets, kListing));
  // An empty name is the empty text.
  EXPECT_EQ("", Render(Bytes{0x30, 0x00}, kListing));
  // Lengths that run past the end, and a set where a sequence belongs.
  const Bytes bad[] = {{0x30, 0x05, 0x31, 0x03}, {0x31, 0x00}, {0x30, 0x02, 0x30, 0x00}};
  for (const Bytes& d : bad) EXPECT_EQ("<failed>", Render(d, kListing));
}

TEST(NameTest, SizeQueryAndShortBuffer) {
  const Bytes der = NameDer({{"C", "CN", MBSTRING_ASC}, {"CN", "Test User", MBSTRING_ASC}});
  CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), const_cast<BYTE*>(der.data())};
  EXPECT_EQ(19u, Plat().CertNameToStrW(kEncoding, &blob, kListing, nullptr, 0));  // 18 + terminator
  char16_t shortBuffer[5];
  EXPECT_EQ(5u, Plat().CertNameToStrW(kEncoding, &blob, kListing, shortBuffer, 5));
  EXPECT_EQ("CN=T", Narrow(shortBuffer));
}

}  // namespace
