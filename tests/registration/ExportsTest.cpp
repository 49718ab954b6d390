// The registration exports under the fault platform: the module-path limit,
// the locale, the trusted sites' list and the zone's verification flag.
#include <gtest/gtest.h>

#include "base/ModuleState.h"
#include "module/Exports.h"
#include "module/Registration.h"
#include "module/TrustSites.h"
#include "support/FaultPlatform.h"
#include "support/TestSupport.h"

namespace {

struct ExportsTest : SoftHomesTest {
  void TearDown() override { Module().perUser = false; }
};

std::u16string g_path;
DWORD ScriptedModulePath(HMODULE, char16_t* path, DWORD size) {
  const DWORD n = static_cast<DWORD>(std::min<size_t>(g_path.size(), size - 1));
  std::copy(g_path.begin(), g_path.begin() + n, path);
  path[n] = 0;
  return g_path.size() < size ? n : size;  // truncated: the platform answers size
}

std::u16string InprocServer() {
  HKEY key = nullptr;
  char16_t value[400] = {};
  DWORD size = sizeof value;
  if (Plat().RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}\\InprocServer32",
                           0, KEY_READ, &key) != ERROR_SUCCESS)
    return u"";
  Plat().RegQueryValueExW(key, u"", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
  Plat().RegCloseKey(key);
  return value;
}

// The path lands in InprocServer32 as it is, a quote in it included (the
// script doubles it inside its quoted text).
TEST_F(ExportsTest, ModulePathOf260OrMoreFailsRegistrationButSitesAreMapped) {
  const struct { std::u16string path; HRESULT status; } kRows[] = {{u"/opt/" + std::u16string(254, u'k'), S_OK},
               {u"/opt/o'neil's/keyloom.so", S_OK},
               {u"/opt/" + std::u16string(255, u'k'), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
               {u"/opt/" + std::u16string(295, u'k'), static_cast<HRESULT>(0x8007007A)}};
  for (const auto& row : kRows) {
    ScopedSoftHomes homes;
    FaultPlatform platform;
    platform.table.GetModuleFileNameW = &ScriptedModulePath;
    g_path = row.path;
    const LCID before = Plat().GetThreadLocale();
    EXPECT_EQ(DllRegisterServer(), row.status) << row.path.size();
    EXPECT_EQ(InprocServer(), row.status == S_OK ? row.path : u"");
    EXPECT_EQ(platform.CountOf("SetZoneMapping"), 6u) << "sites whatever the status";
    const auto locales = platform.CallsOf("SetThreadLocale");
    ASSERT_EQ(locales.size(), 2u);
    EXPECT_EQ(locales[0].Number("locale"), 0x800u);
    EXPECT_EQ(locales[1].Number("locale"), before);
    EXPECT_EQ(DllUnregisterServer(), row.status);
  }
}

const char16_t* g_list;
int ListString(HINSTANCE, UINT, char16_t* buffer, int size) {
  const std::u16string text = g_list;
  const int n = std::min<int>(static_cast<int>(text.size()), size - 1);
  std::copy(text.begin(), text.begin() + n, buffer);
  buffer[n] = 0;
  return n;
}

struct Zone {
  void* security = nullptr;
  void* zones = nullptr;
  Zone() {
    Plat().CoInitialize(nullptr);
    Plat().CoCreateInstance(CLSID_InternetSecurityManager, nullptr, 1, IID_IInternetSecurityManager, &security);
    Plat().CoCreateInstance(CLSID_InternetZoneManager, nullptr, 1, IID_IInternetZoneManager, &zones);
  }
  ~Zone() {
    Plat().ComRelease(zones);
    Plat().ComRelease(security);
    Plat().CoUninitialize();
  }
  DWORD Of(const char16_t* url) {
    DWORD zone = 0;
    Plat().MapUrlToZone(security, url, &zone, 0);
    return zone;
  }
  DWORD Flags() {
    ZONEATTRIBUTES a{};
    a.cbSize = sizeof a;
    Plat().GetZoneAttributes(zones, URLZONE_TRUSTED, &a);
    return a.dwFlags;
  }
};

using TrustSitesTest = SoftHomesTest;

TEST_F(TrustSitesTest, ListsAreMappedInOrderUntilTheFirstFailure) {
  // list null: string 106 itself; failAt: the SetZoneMapping call that fails, 0 none; mapped: zone 2
  // afterwards; unmapped: still the Internet zone. An empty entry ends the list.
  const struct { const char16_t* list; int failAt; HRESULT status; size_t tried; const char16_t *mapped, *unmapped; }
  kRows[] = {
      {nullptr, 0, S_OK, 6, u"https://www.keyloom-bank.test/", u"http://keyloom-bank.other"},
      {nullptr, 0, S_OK, 6, u"http://127.0.0.1:8080/", u"http://127.0.0.2"},  // again: all exist
      {u"http://a.example||http://b.example", 0, S_OK, 1, u"http://a.example", u"http://b.example"},
      {u"http://a.example|http://b.example|http://c.example|http://d.example", 3,
       static_cast<HRESULT>(0x80070005), 3, u"http://b.example", u"http://d.example"},
  };
  for (const auto& row : kRows) {
    FaultPlatform platform;
    g_list = row.list;
    if (row.list) platform.table.LoadStringW = &ListString;
    if (row.failAt) platform.FailCall("SetZoneMapping", row.failAt, ERROR_ACCESS_DENIED);
    EXPECT_EQ(AddTrustSites(nullptr, kTrustedSiteList), row.status);
    EXPECT_EQ(platform.CountOf("SetZoneMapping"), row.tried);
    Zone zone;
    EXPECT_EQ(zone.Of(row.mapped), URLZONE_TRUSTED) << Narrow(row.mapped);
    EXPECT_EQ(zone.Of(row.unmapped), URLZONE_INTERNET) << Narrow(row.unmapped);
    EXPECT_EQ(zone.Flags() & ZAFLAGS_REQUIRE_VERIFICATION, ZAFLAGS_REQUIRE_VERIFICATION);
  }
}

// A refused mapping: the flag cleared for it is set again (the zone never ends
// weaker); without the flag, the zone's attributes are not written at all.
TEST_F(TrustSitesTest, VerificationFlagIsSetAgainAfterAFailedMapping) {
  for (const bool flagSet : {true, false}) {
    {
      Zone zone;
      ZONEATTRIBUTES a{};
      a.cbSize = sizeof a;
      Plat().GetZoneAttributes(zone.zones, URLZONE_TRUSTED, &a);
      a.dwFlags = flagSet ? (a.dwFlags | ZAFLAGS_REQUIRE_VERIFICATION) : (a.dwFlags & ~ZAFLAGS_REQUIRE_VERIFICATION);
      ASSERT_EQ(Plat().SetZoneAttributes(zone.zones, URLZONE_TRUSTED, &a), S_OK);
    }
    FaultPlatform platform;
    platform.FailCall("SetZoneMapping", 1, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(AddTrustSite(u"http://x.example"), static_cast<HRESULT>(0x80070057));
    const auto writes = platform.CallsOf("SetZoneAttributes");
    EXPECT_EQ(writes.size(), flagSet ? 2u : 0u);
    Zone zone;
    EXPECT_EQ((zone.Flags() & ZAFLAGS_REQUIRE_VERIFICATION) != 0, flagSet);
    EXPECT_EQ(zone.Of(u"http://x.example"), URLZONE_INTERNET);
  }
}

}  // namespace
