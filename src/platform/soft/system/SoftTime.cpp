// File times (100-nanosecond ticks since 1601-01-01 UTC) and calendar times.
#include <ctime>

#include "base/FileTime.h"
#include "platform/soft/SoftTable.h"

namespace {

constexpr int64_t kTicksPerSecond = kFileTimeTicksPerSecond;
constexpr int64_t kTicksPerDay = kTicksPerSecond * 86400;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDays = kUnixEpochFileTimeSeconds / 86400;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool Leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

BOOL Fail() {
  SoftSetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// Values with the top bit set are out of range, as on the platform.
BOOL FileTimeToSystemTimeImpl(const FILETIME* fileTime, SYSTEMTIME* st) {
  if (fileTime == nullptr || st == nullptr || FileTimeTicks(*fileTime) < 0) return Fail();
  const int64_t ticks = FileTimeTicks(*fileTime);
  const int64_t days = ticks / kTicksPerDay;
  int64_t rest = ticks % kTicksPerDay;
  int64_t y;
  unsigned m, d;
  CivilFromDays(days - kEpochDays, &y, &m, &d);
  st->wYear = static_cast<WORD>(y);
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  st->wHour = static_cast<WORD>(rest / (3600 * kTicksPerSecond));
  rest %= 3600 * kTicksPerSecond;
  st->wMinute = static_cast<WORD>(rest / (60 * kTicksPerSecond));
  rest %= 60 * kTicksPerSecond;
  st->wSecond = static_cast<WORD>(rest / kTicksPerSecond);
  st->wMilliseconds = static_cast<WORD>((rest % kTicksPerSecond) / 10000);
  return TRUE;
}

// Every field is checked (the day of week is ignored); years 1601 to 30827.
BOOL SystemTimeToFileTimeImpl(const SYSTEMTIME* st, FILETIME* fileTime) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (st == nullptr || fileTime == nullptr) return Fail();
  if (st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 ||
      st->wDay < 1 || st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 ||
      st->wMilliseconds > 999)
    return Fail();
  const int monthDays = kDays[st->wMonth - 1] + (st->wMonth == 2 && Leap(st->wYear) ? 1 : 0);
  if (st->wDay > monthDays) return Fail();
  const int64_t days = DaysFromCivil(st->wYear, st->wMonth, st->wDay) + kEpochDays;
  const int64_t ticks = days * kTicksPerDay +
                        ((st->wHour * 60 + st->wMinute) * 60 + st->wSecond) * kTicksPerSecond +
                        st->wMilliseconds * int64_t{10000};
  *fileTime = FileTimeOfTicks(ticks);
  return TRUE;
}

// The offset in force now applies, whatever the converted date, as on the
// platform. The zone is read again on every call (TZ), as the platform
// follows a changed time zone setting.
BOOL FileTimeToLocalFileTimeImpl(const FILETIME* fileTime, FILETIME* local) {
  if (fileTime == nullptr || local == nullptr) return Fail();
  tzset();
  const time_t now = time(nullptr);
  struct tm tm {};
  if (localtime_r(&now, &tm) == nullptr) return Fail();
  const int64_t ticks =
      FileTimeTicks(*fileTime) + static_cast<int64_t>(tm.tm_gmtoff) * kTicksPerSecond;
  if (ticks < 0) return Fail();
  *local = FileTimeOfTicks(ticks);
  return TRUE;
}

}  // namespace

void SoftFillTime(Platform& t) {
  t.FileTimeToSystemTime = &FileTimeToSystemTimeImpl;
  t.SystemTimeToFileTime = &SystemTimeToFileTimeImpl;
  t.FileTimeToLocalFileTime = &FileTimeToLocalFileTimeImpl;
}
