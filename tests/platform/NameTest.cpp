// CertNameToStrW through the platform table: names written out byte by byte
// and the text the platform renders for them.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/CryptCalls.h"

namespace {

// Object identifiers of the attribute types by short key (DER contents).
const std::map<std::string, Bytes> kTypes = {
    {"C", {0x55, 0x04, 0x06}},      {"CN", {0x55, 0x04, 0x03}},     {"O", {0x55, 0x04, 0x0A}},
    {"OU", {0x55, 0x04, 0x0B}},     {"ST", {0x55, 0x04, 0x08}},     {"L", {0x55, 0x04, 0x07}},
    {"street", {0x55, 0x04, 0x09}}, {"title", {0x55, 0x04, 0x0C}},  {"GN", {0x55, 0x04, 0x2A}},
    {"SN", {0x55, 0x04, 0x04}},     {"serialNumber", {0x55, 0x04, 0x05}},
    {"postalCode", {0x55, 0x04, 0x11}},
    {"emailAddress", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01}},  // 1.2.840.113549.1.9.1
    {"DC", {0x09, 0x92, 0x26, 0x89, 0x93, 0xF2, 0x2C, 0x64, 0x01, 0x19}},      // 0.9.2342.19200300.100.1.25
    {"1.2.3.4", {0x2A, 0x03, 0x04}},
};
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr BYTE kUtf8 = 0x0C, kPrintable = 0x13, kIa5 = 0x16;

struct Attr {
  const char* field;     // a key of kTypes
  std::string value;     // UTF-8
  BYTE tag;              // the string type
  bool sameRdn = false;  // joins the previous relative name
};

// The Name, written here by hand: a SEQUENCE of SETs of SEQUENCE { OID,
// string }, the members of a set as listed (rows list them in DER order).
Bytes NameDer(const std::vector<Attr>& attrs) {
  std::vector<std::vector<Bytes>> rdns;
  for (const Attr& a : attrs) {
    if (!a.sameRdn) rdns.emplace_back();
    const Bytes value(a.value.begin(), a.value.end());
    rdns.back().push_back(Tlv(0x30, {Tlv(0x06, {kTypes.at(a.field)}), Tlv(a.tag, {value})}));
  }
  std::vector<Bytes> sets;
  for (const std::vector<Bytes>& rdn : rdns) sets.push_back(Tlv(0x31, rdn));
  return Tlv(0x30, sets);
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
constexpr DWORD kQuoted = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;

TEST(NameTest, RendersAsThePlatformDoes) {
  struct Case {
    std::vector<Attr> name;
    DWORD strType;
    const char* text;
    const char* wine = nullptr;  // Wine's text, where it differs
  } cases[] = {
      // Country first, common name last: reversed, the common name leads.
      {{{"C", "CN", kPrintable}, {"CN", "Test User", kPrintable}}, kListing, "CN=Test User, C=CN"},
      // A multi-valued relative name keeps its values in encoded order (DER
      {{{"C", "CN", kPrintable},  // sorts the set: CN 2.5.4.3 before OU 2.5.4.11).
        {"CN", "Li Lei", kUtf8},
        {"OU", "Retail", kUtf8, true}},
       kListing, "CN=Li Lei + OU=Retail, C=CN"},
      // E-mail as IA5String, the platform's short keys.
      {{{"emailAddress", "li.lei@example.com", kIa5},
        {"ST", "Beijing", kUtf8},
        {"L", "Haidian", kUtf8},
        {"street", "1 Main St", kUtf8},
        {"title", "Clerk", kUtf8},
        {"GN", "Lei", kUtf8},
        {"SN", "Li", kUtf8},
        {"serialNumber", "42", kPrintable},
        {"DC", "example", kIa5},
        {"postalCode", "100080", kUtf8}},
       kListing,
       "PostalCode=100080, DC=example, SERIALNUMBER=42, SN=Li, G=Lei, T=Clerk, STREET=1 Main St, "
       "L=Haidian, S=Beijing, E=li.lei@example.com"},
      // An attribute without a short key.
      {{{"1.2.3.4", "x", kPrintable}}, kListing, "OID.1.2.3.4=x", "1.2.3.4=x"},
      // UTF-8 CJK (张三), and the same text as a BMPString.
      {{{"CN", "\xE5\xBC\xA0\xE4\xB8\x89", kUtf8}}, kListing, "CN=\xE5\xBC\xA0\xE4\xB8\x89",
       "CN=\"\xE5\xBC\xA0\xE4\xB8\x89\""},
      // Quoting: off with the flag, on without it (the store listing).
      {{{"O", "Acme, Inc.", kPrintable}}, kListing, "O=Acme, Inc.", "O=\"Acme, Inc.\""},
      {{{"O", "say \"hi\"", kUtf8}}, kQuoted, "O=\"say \"\"hi\"\"\""},
  };
  for (const Case& c : cases) {
    const std::string how = std::string("CertNameToStrW renders ") + c.text + " as " + (c.wine ? c.wine : "");
    EXPECT_EQ(c.wine && WineDiffers(how.c_str()) ? c.wine : c.text, Render(NameDer(c.name), c.strType));
  }
  // SEQUENCE { SET { SEQUENCE { OID 2.5.4.10, BMPString 5F20 4E09 } } }: O=张三.
  const Bytes bmp = {0x30, 0x0F, 0x31, 0x0D, 0x30, 0x0B, 0x06, 0x03, 0x55,
                   0x04, 0x0A, 0x1E, 0x04, 0x5F, 0x20, 0x4E, 0x09};
  EXPECT_EQ(WineDiffers("CertNameToStrW quotes a BMPString value") ? "O=\"\xE5\xBC\xA0\xE4\xB8\x89\""
                                                                 : "O=\xE5\xBC\xA0\xE4\xB8\x89",
            Render(bmp, kListing));
}

TEST(NameTest, NonStringValuesAndMalformedNames) {
  // CN as an OCTET STRING 01 02: "#" and the hexadecimal of its encoding.
  const Bytes octets = {0x30, 0x0D, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55,
                      0x04, 0x03, 0x04, 0x02, 0x01, 0x02};
  EXPECT_EQ(WineDiffers("CertNameToStrW renders a non-string value as empty, not #hex") ? "CN=" : "CN=#04020102",
            Render(octets, kListing));
  // An empty name is the empty text.
  EXPECT_EQ("", Render(Bytes{0x30, 0x00}, kListing));
  // Lengths that run past the end, and a set where a sequence belongs: the
  // empty text too (size 1), and the reason in the last error.
  const Bytes bad[] = {{0x30, 0x05, 0x31, 0x03}, {0x31, 0x00}, {0x30, 0x02, 0x30, 0x00}};
  for (const Bytes& d : bad) {
    Plat().SetLastError(0);
    EXPECT_EQ("", Render(d, kListing));
    EXPECT_NE(0u, Plat().GetLastError());
  }
}

}  // namespace
