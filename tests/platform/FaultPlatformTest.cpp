// The one list of platform entries: every table generated from it is
// complete, failures follow each entry's kind, and the test interceptor
// records, fails and scripts calls.
#include "support/FaultPlatform.h"

#include <gtest/gtest.h>

#include "support/CryptTestSupport.h"
#include "support/TestSupport.h"

namespace {

TEST(PlatformEntries, NoTableHasANullEntry) {
  FaultPlatform platform;
  for (const Platform* table : {&DefaultPlatform(), &UnimplementedPlatform(), &Plat()})
    EXPECT_EQ(PlatformNullEntry(*table), nullptr) << PlatformNullEntry(*table);
  Platform gap = DefaultPlatform();
  gap.CryptGenKey = nullptr;
  EXPECT_STREQ(PlatformNullEntry(gap), "CryptGenKey");
}

// One entry of each failure kind, failed by the unimplemented table and by
// the interceptor with the same code: the one classification answers both.
TEST(PlatformEntries, FailureResultsFollowEachEntrysKind) {
  for (const bool intercepted : {false, true}) {
    FaultPlatform platform;
    for (const char* name : {"CryptGenKey", "RegOpenKeyExW", "CoCreateGuid", "CreateFileW"})
      platform.FailCall(name, 0, ERROR_CALL_NOT_IMPLEMENTED);
    const Platform& t = intercepted ? Plat() : UnimplementedPlatform();
    HCRYPTKEY key = 0;
    Plat().SetLastError(0);
    EXPECT_FALSE(t.CryptGenKey(0, CALG_RSA_SIGN, 0, &key));
    EXPECT_EQ(Plat().GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    HKEY hkey = nullptr;
    EXPECT_EQ(t.RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &hkey),
              ERROR_CALL_NOT_IMPLEMENTED);
    GUID guid;
    EXPECT_EQ(static_cast<uint32_t>(t.CoCreateGuid(&guid)), 0x80070078u);
    Plat().SetLastError(0);
    EXPECT_EQ(t.CreateFileW(u"x", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(Plat().GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  }
  EXPECT_EQ(UnimplementedPlatform().GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

TEST(FaultPlatform, FailsTheChosenOccurrenceAndRecordsArgumentsByName) {
  ScopedSoftHomes homes;
  FaultPlatform platform;
  platform.FailCall("CryptAcquireContextW", 2, static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
  HCRYPTPROV prov[3] = {};
  for (HCRYPTPROV& p : prov)
    Plat().CryptAcquireContextW(&p, nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
  EXPECT_NE(prov[0], 0u);
  EXPECT_EQ(prov[1], 0u) << "the failed call never reached the provider";
  EXPECT_NE(prov[2], 0u);
  const auto calls = platform.CallsOf("CryptAcquireContextW");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].Arg("container"), "null");
  EXPECT_EQ(calls[1].Arg("provider"), "Microsoft Enhanced Cryptographic Provider v1.0");
  EXPECT_EQ(calls[1].Number("flags"), static_cast<uint64_t>(CRYPT_VERIFYCONTEXT));
  for (HCRYPTPROV p : {prov[0], prov[2]}) Plat().CryptReleaseContext(p, 0);
  EXPECT_EQ(platform.CountOf("CryptReleaseContext"), 2u);
}

// A scripted entry replaces the platform's answer; recording and planned
// failures still come first.
TEST(FaultPlatform, ScriptedEntriesAnswerBehindTheRecording) {
  FaultPlatform platform;
  platform.table.GetUserDefaultUILanguage = [] { return static_cast<LANGID>(2052); };
  platform.FailCall("GetUserDefaultUILanguage", 2, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Plat().GetUserDefaultUILanguage(), 2052);
  EXPECT_EQ(Plat().GetUserDefaultUILanguage(), 0);
  EXPECT_EQ(Plat().GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(platform.CountOf("GetUserDefaultUILanguage"), 2u);
}

TEST(FaultPlatform, RestoresTheTableItWrapped) {
  const Platform* before = &Plat();
  {
    FaultPlatform platform;
    EXPECT_NE(before, &Plat());
  }
  EXPECT_EQ(before, &Plat());
}

}  // namespace
