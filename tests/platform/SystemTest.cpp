// Files, times and module resources through the platform table, and the
// table itself: every generated table complete, failures by entry kind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <initializer_list>
#include <string>

#include "base/Platform.h"
#include "encoding/Unicode.h"
#include "support/FaultPlatform.h"
#include "support/TestSupport.h"

namespace {

class FileTest : public SoftHomesTest {
 protected:
  std::u16string TempPath() {
    char16_t buffer[1024];
    const DWORD n = Plat().GetTempPathW(1024, buffer);
    EXPECT_GT(n, 0u);
    return std::u16string(buffer, n);
  }
};

TEST_F(FileTest, TempPathEndsWithASeparator) {
  EXPECT_EQ(homes_.temp() + kPathSeparator, Narrow(TempPath().c_str()));
}

TEST_F(FileTest, CreateWriteDeleteOwnerOnly) {
  const std::u16string path = TempPath() + u"{0F6B3E2A}.ZENQ";
  EXPECT_FALSE(Plat().PathFileExistsW(path.c_str()));
  HANDLE h = Plat().CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD written = 0;
  EXPECT_TRUE(Plat().WriteFile(h, "dump", 4, &written, nullptr));
  EXPECT_EQ(4u, written);
  EXPECT_TRUE(Plat().CloseHandle(h));
  EXPECT_TRUE(Plat().PathFileExistsW(path.c_str()));
  EXPECT_EQ("dump", ReadFile(Utf16ToUtf8(path)));
#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(0, stat(Utf16ToUtf8(path).c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
#endif
  // Exclusively: a second CREATE_NEW finds it there.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Plat().CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), Plat().GetLastError());
  EXPECT_TRUE(Plat().DeleteFileW(path.c_str()));
  EXPECT_FALSE(Plat().PathFileExistsW(path.c_str()));
}

#ifndef _WIN32
TEST_F(FileTest, NeverWritesThroughALink) {
  const std::string target = homes_.root() + "/target";
  FILE* f = fopen(target.c_str(), "w");
  fputs("keep", f);
  fclose(f);
  const std::u16string link = TempPath() + u"link.ZENQ";
  ASSERT_EQ(0, symlink(target.c_str(), Utf16ToUtf8(link).c_str()));
  for (DWORD disposition : {CREATE_NEW, CREATE_ALWAYS}) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, Plat().CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr,
                                                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  EXPECT_EQ("keep", ReadFile(target));
}
#endif

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

#ifndef _WIN32
TEST(TimeTest, LocalTimeUsesTheOffsetInForceNow) {
  // With daylight saving in force now or not, the offset is today's for
  // every date (a zone whose summer offset differs from its winter one;
  // zones without daylight saving: the listing's own tests).
  ScopedEnv dst("TZ", "EST5EDT,M3.2.0,M11.1.0");
  tzset();
  const time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  FILETIME utc = Ft(132223104000000000ULL), summer = Ft(132375168000000000ULL), local{};  // 2020-01-01, 06-25
  ASSERT_TRUE(Plat().FileTimeToLocalFileTime(&utc, &local));
  const int64_t winterShift = static_cast<int64_t>(Ticks(local) - Ticks(utc));
  ASSERT_TRUE(Plat().FileTimeToLocalFileTime(&summer, &local));
  EXPECT_EQ(winterShift, static_cast<int64_t>(Ticks(local) - Ticks(summer)));
  EXPECT_EQ(static_cast<int64_t>(tm.tm_gmtoff) * 10000000, winterShift);
}
#endif

TEST(ResourceTest, EmbeddedResourceByTypeAndId) {
  // resources/probe/probe.bin, embedded as "KEYLOOM_PROBE" 1.
  const std::string file = ReadFile(KEYLOOM_SOURCE_DIR "/resources/probe/probe.bin");
  ASSERT_FALSE(file.empty());
  HRSRC r = Plat().FindResourceW(nullptr, U16(MAKEINTRESOURCEW(1)), u"KEYLOOM_PROBE");
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(file.size(), Plat().SizeofResource(nullptr, r));
  HGLOBAL g = Plat().LoadResource(nullptr, r);
  ASSERT_NE(nullptr, g);
  const auto* bytes = static_cast<const char*>(Plat().LockResource(g));
  EXPECT_EQ(file, std::string(bytes, Plat().SizeofResource(nullptr, r)));
  EXPECT_EQ(nullptr, Plat().FindResourceW(nullptr, U16(MAKEINTRESOURCEW(2)), u"KEYLOOM_PROBE"));
}

TEST(ResourceTest, ModuleFileNameOfTheProgram) {
  char16_t path[4096];
  const DWORD n = Plat().GetModuleFileNameW(nullptr, path, 4096);
  ASSERT_GT(n, 0u);
#ifndef _WIN32
  char self[4096];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof self);
  ASSERT_GT(len, 0);
  EXPECT_EQ(std::string(self, static_cast<size_t>(len)), Narrow(path));
#endif
}

TEST(PlatformEntries, NoTableHasANullEntry) {
  FaultPlatform platform;
  for (const Platform* table : {&DefaultPlatform(), &UnimplementedPlatform(), &Plat()})
    EXPECT_EQ(PlatformNullEntry(*table), nullptr) << PlatformNullEntry(*table);
  Platform gap = DefaultPlatform();
  gap.CryptGenKey = nullptr;
  EXPECT_STREQ(PlatformNullEntry(gap), "CryptGenKey");
}

}  // namespace
