// Subject names: the text syntax, the attribute table, the encodings, and
// OpenSSL reading (and re-encoding) the Names we write.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <string>

#include "request/SubjectName.h"
#include "support/DerTestSupport.h"

namespace {

Produced Compose(std::u16string_view subject) {
  return Produce([&](BYTE** o, DWORD* l) { return ComposeSubject(subject, o, l); });
}

// OpenSSL's one-line rendering of a DER Name, and whether it re-encodes to
// the same octets.
std::string OpenSslName(const Bytes& der, bool* sameEncoding) {
  const unsigned char* p = der.data();
  X509_NAME* name = d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size()));
  if (name == nullptr) return "(not a Name)";
  char text[512];
  X509_NAME_oneline(name, text, sizeof text);
  unsigned char* again = nullptr;
  const int len = i2d_X509_NAME(name, &again);
  *sameEncoding = p == der.data() + der.size() && Bytes(again, again + len) == der;
  OPENSSL_free(again);
  X509_NAME_free(name);
  return text;
}

// Each subject text and what composing it gives: the exact DER of the Name,
// or the refusal (and no bytes).
TEST(SubjectName, EncodingsAndRefusals) {
  const struct {
    const char16_t* subject;
    HRESULT status;
    const char* der;
  } rows[] = {
      // SEQUENCE { SET { SEQUENCE { 2.5.4.6, PrintableString "CN" } },
      //            SET { SEQUENCE { 2.5.4.3, UTF8String "Test" } } }
      {u"CN=Test,C=CN", S_OK,
       "30 1C 31 0B 30 09 06 03 55 04 06 13 02 43 4E 31 0D 30 0B 06 03 55 04 03 0C 04 54 65 73 74"},
      // names ignore case and spaces
      {u"cn=Test, c=CN", S_OK,
       "30 1C 31 0B 30 09 06 03 55 04 06 13 02 43 4E 31 0D 30 0B 06 03 55 04 03 0C 04 54 65 73 74"},
      {u"C N=Test", S_OK, "30 0F 31 0D 30 0B 06 03 55 04 03 0C 04 54 65 73 74"},
      // the value keeps its leading space: UTF8String " Test"
      {u"CN= Test", S_OK, "30 10 31 0E 30 0C 06 03 55 04 03 0C 05 20 54 65 73 74"},
      // IA5String "x" under 1.2.840.113549.1.9.1
      {u"E=x", S_OK, "30 12 31 10 30 0E 06 09 2A 86 48 86 F7 0D 01 09 01 16 01 78"},
      // one CJK character U+4E2D as UTF-8 E4 B8 AD
      {u"CN=\u4E2D", S_OK, "30 0E 31 0C 30 0A 06 03 55 04 03 0C 03 E4 B8 AD"},
      // SERIALNUMBER is a UTF8String
      {u"SERIALNUMBER=123", S_OK, "30 0E 31 0C 30 0A 06 03 55 04 05 0C 03 31 32 33"},
      // the jurisdiction country is a UTF8String
      {u"jurisdictionOfIncorporationCountryName=CN", S_OK,
       "30 15 31 13 30 11 06 0B 2B 06 01 04 01 82 37 3C 02 01 03 0C 02 43 4E"},
      {u"CN=a,b", NTE_BAD_DATA, ""},  // a piece without "="
      // only spaces are dropped from a name, not tabs
      {u"C\tN=a", CRYPT_E_OID_FORMAT, ""},
      {u"", E_FAIL, ""},
      {u"CN=", E_FAIL, ""},
      {u"CNN=a", CRYPT_E_OID_FORMAT, ""},  // an unknown name
      {u"C=C*", CRYPT_E_INVALID_PRINTABLE_STRING, ""},
      {u"E=\u00E9@example.com", CRYPT_E_INVALID_IA5_STRING, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Narrow(row.subject));
    const Produced p = Compose(row.subject);
    EXPECT_EQ(p.status, row.status);
    EXPECT_EQ(ToHex(p.bytes), row.der);
  }
}

// OpenSSL parses the Names we write, reads the attributes we meant, and
// re-encodes them to the same octets.
TEST(SubjectName, OpenSslReadsOurNames) {
  const struct {
    const char16_t* subject;
    const char* oneline;
  } cases[] = {
      {u"CN=Test User,OU=Retail,O=Example Bank,L=Beijing,ST=Beijing,C=CN",
       "/C=CN/ST=Beijing/L=Beijing/O=Example Bank/OU=Retail/CN=Test User"},
      // the names no row above reaches
      {u"STREET=s,BUSINESSCATEGORY=b,jurisdictionOfIncorporationLocalityName=l,"
       u"jurisdictionofincorporationstateorprovincename=p",
       "/jurisdictionST=p/jurisdictionL=l/businessCategory=b/street=s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.oneline);
    const Produced p = Compose(c.subject);
    ASSERT_EQ(p.status, S_OK);
    bool same = false;
    EXPECT_EQ(OpenSslName(p.bytes, &same), c.oneline);
    EXPECT_TRUE(same);
  }
}

}  // namespace
