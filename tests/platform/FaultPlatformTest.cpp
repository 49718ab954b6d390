// The one list of platform entries: every table generated from it is
// complete, and failures follow each entry's kind.
#include "support/FaultPlatform.h"

#include <gtest/gtest.h>


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

}  // namespace
