// File time and calendar time conversion through the platform table.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "base/Platform.h"
#include "support/TestSupport.h"

namespace {

FILETIME Ft(uint64_t ticks) {
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}
uint64_t Ticks(const FILETIME& f) { return (uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime; }

// "YYYY-MM-DD hh:mm:ss.mmm dN", N the day of the week (0: Sunday).
std::string Calendar(const SYSTEMTIME& t) {
  char text[64];
  snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u d%u", t.wYear, t.wMonth, t.wDay, t.wHour,
           t.wMinute, t.wSecond, t.wMilliseconds, t.wDayOfWeek);
  return text;
}

TEST(TimeTest, FileTimesAndCalendarTimesRoundTrip) {
  const struct { uint64_t ticks; const char* calendar; } cases[] = {
      {0, "1601-01-01 00:00:00.000 d1"},                        // the epoch, a Monday
      {116444736000000000ULL, "1970-01-01 00:00:00.000 d4"},    // Unix epoch, Thursday
      {132223104000000000ULL, "2020-01-01 00:00:00.000 d3"},
      {132538464000000000ULL, "2020-12-31 00:00:00.000 d4"},
      {132224906451230000ULL, "2020-01-03 02:04:05.123 d5"},
      {132274080000000000ULL, "2020-02-29 00:00:00.000 d6"},    // leap day
  };
  for (const auto& c : cases) {
    SYSTEMTIME st{};
    FILETIME ft = Ft(c.ticks), back{};
    ASSERT_TRUE(Plat().FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(c.calendar, Calendar(st));
    ASSERT_TRUE(Plat().SystemTimeToFileTime(&st, &back));
    EXPECT_EQ(c.ticks, Ticks(back));
  }
}

TEST(TimeTest, InvalidCalendarTimesAreRefused) {
  const SYSTEMTIME bad[] = {
      {2019, 2, 0, 29, 0, 0, 0, 0},   // no leap day in 2019
      {2020, 13, 0, 1, 0, 0, 0, 0},   // month 13
      {2020, 1, 0, 1, 24, 0, 0, 0},   // hour 24
      {1600, 12, 0, 31, 0, 0, 0, 0},  // before the epoch
      {2020, 1, 0, 1, 0, 0, 0, 1000}, // millisecond 1000
  };
  for (const SYSTEMTIME& st : bad) {
    FILETIME ft{};
    const bool wineTakesIt = st.wMonth == 2 && WineDiffers("SystemTimeToFileTime takes February 29 of any year");
    EXPECT_EQ(wineTakesIt, Plat().SystemTimeToFileTime(&st, &ft) != FALSE) << Calendar(st);
    if (!wineTakesIt) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Plat().GetLastError());
    }
  }
  FILETIME huge = Ft(0x8000000000000000ULL);
  SYSTEMTIME st{};
  EXPECT_FALSE(Plat().FileTimeToSystemTime(&huge, &st));
}

#ifndef _WIN32
TEST(TimeTest, LocalTimeUsesTheOffsetInForceNow) {
  // A zone eight hours east of UTC all year: 2020-01-01 00:00 becomes 08:00.
  ScopedEnv tz("TZ", "CST-8");
  tzset();
  FILETIME utc = Ft(132223104000000000ULL), local{};
  ASSERT_TRUE(Plat().FileTimeToLocalFileTime(&utc, &local));
  EXPECT_EQ(8ULL * 3600 * 10000000, Ticks(local) - Ticks(utc));
  // With daylight saving in force now or not, the offset is today's for
  // every date (a zone whose summer offset differs from its winter one).
  ScopedEnv dst("TZ", "EST5EDT,M3.2.0,M11.1.0");
  tzset();
  const time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  FILETIME summer = Ft(132375168000000000ULL);  // 2020-06-25
  ASSERT_TRUE(Plat().FileTimeToLocalFileTime(&utc, &local));
  const int64_t winterShift = static_cast<int64_t>(Ticks(local) - Ticks(utc));
  ASSERT_TRUE(Plat().FileTimeToLocalFileTime(&summer, &local));
  EXPECT_EQ(winterShift, static_cast<int64_t>(Ticks(local) - Ticks(summer)));
  EXPECT_EQ(static_cast<int64_t>(tm.tm_gmtoff) * 10000000, winterShift);
}
#endif

}  // namespace
