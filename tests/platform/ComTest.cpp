// The URL security and zone managers through the platform table (trusted
// sites mappings, the verification flag, which origins a mapping covers).
// The XML DOM is read through the chain documents' own tests.
#include <gtest/gtest.h>

#include "base/Platform.h"
#include "support/TestSupport.h"

namespace {

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
  // Cleared, the plain pattern goes in; set again, it is kept.
  SetFlags(fresh.dwFlags & ~ZAFLAGS_REQUIRE_VERIFICATION);
  EXPECT_EQ(S_OK, Map(u"http://*.keyloom-bank.example"));
  SetFlags(fresh.dwFlags);
  const ZONEATTRIBUTES after = Trusted();
  EXPECT_EQ(fresh.dwFlags, after.dwFlags);
  EXPECT_EQ(URLZONE_TRUSTED, ZoneOf(u"http://www.keyloom-bank.example"));
}

TEST_F(ZoneTest, PatternsMustBeSchemeAndHost) {
  // No separator, no host, a character no host name has.
  const char16_t* bad[] = {u"keyloom-bank.example", u"https://*.", u"https://user@host"};
  if (WineHasNoMappings()) GTEST_SKIP() << "Wine: SetZoneMapping answers E_NOTIMPL";
  for (const char16_t* p : bad) EXPECT_LT(Map(p), 0) << Narrow(p);
}

TEST_F(ZoneTest, OriginsMatchBySchemeAndHostWithWildcards) {
  if (WineHasNoMappings()) GTEST_SKIP() << "Wine: SetZoneMapping answers E_NOTIMPL";
  ASSERT_EQ(S_OK, Map(u"https://*.keyloom-bank.example"));
  ASSERT_EQ(S_OK, Map(u"https://exact.keyloom.test"));
  struct Case { const char16_t* url; DWORD zone; } cases[] = {
      {u"https://www.keyloom-bank.example", URLZONE_TRUSTED},
      {u"https://a.b.keyloom-bank.example:8443/enroll?x=1", URLZONE_TRUSTED},  // any depth, any port
      {u"https://keyloom-bank.example", URLZONE_TRUSTED},  // the wildcard covers the name itself
      {u"https://WWW.Keyloom-Bank.Example", URLZONE_TRUSTED},
      {u"http://www.keyloom-bank.example", URLZONE_INTERNET},  // scheme not mapped
      {u"https://evilkeyloom-bank.example", URLZONE_INTERNET},  // whole labels only
      {u"https://keyloom-bank.example.evil.test", URLZONE_INTERNET},  // the name must end the host
      {u"https://keyloom-bank.example@evil.test/", URLZONE_INTERNET},  // user part is not the host
      {u"https://exact.keyloom.test", URLZONE_TRUSTED},
      {u"https://www.exact.keyloom.test", URLZONE_INTERNET},  // no wildcard, no sub-domains
  };
  for (const Case& c : cases) EXPECT_EQ(c.zone, ZoneOf(c.url)) << Narrow(c.url);
  DWORD zone = 0;
  EXPECT_LT(Plat().MapUrlToZone(security_, u"not a url", &zone, 0), 0);
}

}  // namespace
