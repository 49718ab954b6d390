// The COM objects through the platform table: the XML DOM as the chain
// documents are read, and the URL security and zone managers (trusted
// sites mappings, the verification flag, which origins a mapping covers).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Platform.h"
#include "support/TestSupport.h"

namespace {

class DomTest : public ::testing::Test {
 protected:
  void SetUp() override { Plat().CoInitialize(nullptr); }
  void TearDown() override {
    for (KlXmlNode* n : held_) Plat().XmlRelease(n);
    Plat().CoUninitialize();
  }
  KlXmlNode* NewDocument() {
    void* doc = nullptr;
    EXPECT_EQ(S_OK, Plat().CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_IXMLDOMDocument, &doc));
    return Hold(static_cast<KlXmlNode*>(doc));
  }
  KlXmlNode* Hold(KlXmlNode* n) {
    if (n != nullptr) held_.push_back(n);
    return n;
  }
  KlXmlNode* Child(KlXmlNode* n, long i) {
    KlXmlNode* c = nullptr;
    EXPECT_EQ(S_OK, Plat().XmlChildAt(n, i, &c));
    return Hold(c);
  }
  // The text `get` hands out for `n` ("<null>" for none), freed.
  static std::string Str(HRESULT (*get)(KlXmlNode*, char16_t**), KlXmlNode* n) {
    char16_t* t = nullptr;
    EXPECT_EQ(S_OK, get(n, &t));
    std::string s = t ? Narrow(t) : "<null>";
    Plat().XmlFreeText(t);
    return s;
  }
  static std::string Name(KlXmlNode* n) { return Str(Plat().XmlNodeName, n); }
  static std::string Text(KlXmlNode* n) { return Str(Plat().XmlText, n); }
  static long Count(KlXmlNode* n) {
    long c = -1;
    EXPECT_EQ(S_OK, Plat().XmlChildCount(n, &c));
    return c;
  }
  std::vector<std::string> ChildNames(KlXmlNode* n) {
    std::vector<std::string> names;
    for (long i = 0; i < Count(n); ++i) names.push_back(Name(Child(n, i)));
    return names;
  }
  std::vector<KlXmlNode*> held_;
};

const char16_t kDocument[] =
    u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    u"<!-- carried chain -->\r\n"
    u"<root>\r\n"
    u"  <RootCACertificate>\r\n"
    u"    <Certificate SerialNum=\"01\" SubjectDN=\"CN=Root\">\r\n"
    u"      <ImportPath>SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates</ImportPath>\r\n"
    u"      <!-- a note -->\r\n"
    u"      <EntryPoint>AB<b>CD</b>EF</EntryPoint>\r\n"
    u"      <?keep going?>\r\n"
    u"      <Content>\r\n  QUJD\r\n  REVG\r\n</Content>\r\n"
    u"    </Certificate>\r\n"
    u"  </RootCACertificate>\r\n"
    u"  <P7bContent>MIIB</P7bContent>\r\n"
    u"</root>\r\n";

TEST_F(DomTest, NodeModelOfTheChainDocuments) {
  KlXmlNode* doc = NewDocument();
  ASSERT_EQ(S_OK, Plat().XmlLoad(doc, kDocument));
  // The declaration and the comment come before the document element.
  EXPECT_EQ((std::vector<std::string>{"xml", "#comment", "root"}), ChildNames(doc));
  KlXmlNode* root = nullptr;
  ASSERT_EQ(S_OK, Plat().XmlLastChild(doc, &root));
  Hold(root);
  EXPECT_EQ("root", Name(root));
  // White-space-only text is dropped: the children are the elements.
  EXPECT_EQ((std::vector<std::string>{"RootCACertificate", "P7bContent"}), ChildNames(root));
  KlXmlNode* cert = Child(Child(root, 0), 0);
  EXPECT_EQ("Certificate", Name(cert));
  EXPECT_EQ((std::vector<std::string>{"ImportPath", "#comment", "EntryPoint", "keep", "Content"}),
            ChildNames(cert));
  EXPECT_EQ("SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates", Text(Child(cert, 0)));
  EXPECT_EQ(" a note ", Text(Child(cert, 1)));
  // Nested text is concatenated; line breaks inside are kept, white space
  // at both ends is not.
  EXPECT_EQ("ABCDEF", Text(Child(cert, 2)));
  EXPECT_EQ("QUJD\n  REVG", Text(Child(cert, 4)));
  EXPECT_EQ("MIIB", Text(Child(root, 1)));
}

TEST_F(DomTest, MalformedDocumentsFailAndYieldNoDocument) {
  const char16_t* bad[] = {
      u"",
      u"<root><open></root>",
      u"<root>&undefined;</root>",
  };
  for (const char16_t* text : bad) {
    KlXmlNode* doc = NewDocument();
    EXPECT_LT(Plat().XmlLoad(doc, text), 0) << Narrow(text);
    EXPECT_EQ(0, Count(doc));
    KlXmlNode* last = nullptr;
    EXPECT_EQ(S_FALSE, Plat().XmlLastChild(doc, &last));
    EXPECT_EQ(nullptr, last);
  }
}

constexpr HRESULT kMappingExists = static_cast<HRESULT>(0x80070050);

class ZoneTest : public SoftHomesTest {
 protected:
  void SetUp() override {
    Plat().CoInitialize(nullptr);
    ASSERT_EQ(S_OK, Plat().CoCreateInstance(CLSID_InternetSecurityManager, nullptr,
                                            CLSCTX_INPROC_SERVER, IID_IInternetSecurityManager,
                                            &security_));
    ASSERT_EQ(S_OK, Plat().CoCreateInstance(CLSID_InternetZoneManager, nullptr,
                                            CLSCTX_INPROC_SERVER, IID_IInternetZoneManager,
                                            &zones_));
  }
  void TearDown() override {
    Plat().ComRelease(zones_);
    Plat().ComRelease(security_);
    Plat().CoUninitialize();
  }
  ZONEATTRIBUTES Trusted() {
    ZONEATTRIBUTES a{};
    a.cbSize = sizeof a;
    EXPECT_EQ(S_OK, Plat().GetZoneAttributes(zones_, URLZONE_TRUSTED, &a));
    return a;
  }
  void SetFlags(DWORD flags) {
    ZONEATTRIBUTES a = Trusted();
    a.dwFlags = flags;
    ASSERT_EQ(S_OK, Plat().SetZoneAttributes(zones_, URLZONE_TRUSTED, &a));
  }
  HRESULT Map(const char16_t* pattern) {
    return Plat().SetZoneMapping(security_, URLZONE_TRUSTED, pattern, SZM_CREATE);
  }
  // Wine's security manager keeps no mappings (E_NOTIMPL).
  bool WineHasNoMappings() {
    return UnderWine() && Map(u"https://probe.keyloom.test") == E_NOTIMPL;
  }
  DWORD ZoneOf(const char16_t* url) {
    DWORD zone = 0xFFFF;
    EXPECT_EQ(S_OK, Plat().MapUrlToZone(security_, url, &zone, 0)) << Narrow(url);
    return zone;
  }
  void* security_ = nullptr;
  void* zones_ = nullptr;
};

TEST_F(ZoneTest, VerificationFlagGuardsPlainPatternsAndIsKept) {
  const ZONEATTRIBUTES fresh = Trusted();
  EXPECT_TRUE(fresh.dwFlags & ZAFLAGS_REQUIRE_VERIFICATION);
  if (WineHasNoMappings()) GTEST_SKIP() << "Wine: SetZoneMapping answers E_NOTIMPL";
  EXPECT_EQ(E_ACCESSDENIED, Map(u"http://*.keyloom-bank.example"));
  EXPECT_EQ(S_OK, Map(u"https://*.keyloom-bank.example"));
  EXPECT_EQ(kMappingExists, Map(u"https://*.keyloom-bank.example"));
  EXPECT_EQ(kMappingExists, Map(u"HTTPS://*.Keyloom-Bank.example"));  // names compare without case
  // Cleared, the plain pattern goes in; set again, it is kept.
  SetFlags(fresh.dwFlags & ~ZAFLAGS_REQUIRE_VERIFICATION);
  EXPECT_EQ(S_OK, Map(u"http://*.keyloom-bank.example"));
  SetFlags(fresh.dwFlags);
  const ZONEATTRIBUTES after = Trusted();
  EXPECT_EQ(fresh.dwFlags, after.dwFlags);
  EXPECT_EQ(URLZONE_TRUSTED, ZoneOf(u"http://www.keyloom-bank.example"));
}

TEST_F(ZoneTest, PatternsMustBeSchemeAndHost) {
  const char16_t* bad[] = {
      u"keyloom-bank.example", u"https://",         u"://host",
      u"https://host:443",     u"https://host/path", u"https://a*b.example",
      u"https://*.",           u"https://user@host",
  };
  if (WineHasNoMappings()) GTEST_SKIP() << "Wine: SetZoneMapping answers E_NOTIMPL";
  for (const char16_t* p : bad) EXPECT_LT(Map(p), 0) << Narrow(p);
}

TEST_F(ZoneTest, OriginsMatchBySchemeAndHostWithWildcards) {
  if (WineHasNoMappings()) GTEST_SKIP() << "Wine: SetZoneMapping answers E_NOTIMPL";
  SetFlags(Trusted().dwFlags & ~ZAFLAGS_REQUIRE_VERIFICATION);
  ASSERT_EQ(S_OK, Map(u"https://*.keyloom-bank.example"));
  ASSERT_EQ(S_OK, Map(u"http://127.0.0.1"));
  ASSERT_EQ(S_OK, Map(u"https://exact.keyloom.test"));
  struct Case { const char16_t* url; DWORD zone; } cases[] = {
      {u"https://www.keyloom-bank.example", URLZONE_TRUSTED},
      {u"https://a.b.keyloom-bank.example:8443/enroll?x=1", URLZONE_TRUSTED},  // any depth, any port
      {u"https://keyloom-bank.example", URLZONE_TRUSTED},  // the wildcard covers the name itself
      {u"https://WWW.Keyloom-Bank.Example", URLZONE_TRUSTED},
      {u"http://www.keyloom-bank.example", URLZONE_INTERNET},  // scheme not mapped
      {u"https://evilkeyloom-bank.example", URLZONE_INTERNET},  // whole labels only
      {u"https://keyloom-bank.example.evil.test", URLZONE_INTERNET},
      {u"https://keyloom-bank.example@evil.test/", URLZONE_INTERNET},  // user part is not the host
      {u"http://127.0.0.1:8080/", URLZONE_TRUSTED},
      {u"https://exact.keyloom.test", URLZONE_TRUSTED},
      {u"https://www.exact.keyloom.test", URLZONE_INTERNET},  // no wildcard, no sub-domains
  };
  for (const Case& c : cases) EXPECT_EQ(c.zone, ZoneOf(c.url)) << Narrow(c.url);
  DWORD zone = 0;
  EXPECT_LT(Plat().MapUrlToZone(security_, u"not a url", &zone, 0), 0);
}

}  // namespace
