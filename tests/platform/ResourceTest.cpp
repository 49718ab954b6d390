// Module resources, string tables and the module's file name through the
// platform table.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/Platform.h"
#include "support/TestSupport.h"

namespace {

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
  // Type names compare without case; "#1" names the same id.
  EXPECT_EQ(r, Plat().FindResourceW(nullptr, u"#1", u"keyloom_probe"));
}

TEST(ResourceTest, MissingResourcesSayWhatIsMissing) {
  struct Case { const char16_t* name; const char16_t* type; DWORD error; } cases[] = {
      {U16(MAKEINTRESOURCEW(2)), u"KEYLOOM_PROBE", ERROR_RESOURCE_NAME_NOT_FOUND},
      {U16(MAKEINTRESOURCEW(1)), u"NO_SUCH_TYPE", ERROR_RESOURCE_TYPE_NOT_FOUND},
      {u"probe", u"KEYLOOM_PROBE", ERROR_RESOURCE_NAME_NOT_FOUND},
  };
  for (const Case& c : cases) {
    Plat().SetLastError(0);
    EXPECT_EQ(nullptr, Plat().FindResourceW(nullptr, c.name, c.type));
    EXPECT_EQ(c.error, Plat().GetLastError());
  }
}

TEST(ResourceTest, StringTableById) {
  ScopedEnv lang("LC_ALL", "en_US.UTF-8");
  char16_t buffer[1024];
  const int n = Plat().LoadStringW(nullptr, 106, buffer, 1024);
  ASSERT_GT(n, 0);
  EXPECT_NE(std::string::npos, Narrow(buffer).find("https://"));
  char16_t small[6];
  EXPECT_EQ(5, Plat().LoadStringW(nullptr, 106, small, 6));  // 5 characters and a terminator
  EXPECT_EQ(0, Plat().LoadStringW(nullptr, 65000, buffer, 1024));
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
  // A short buffer: truncated, terminated, the buffer size returned.
  char16_t shortPath[4];
  EXPECT_EQ(4u, Plat().GetModuleFileNameW(nullptr, shortPath, 4));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), Plat().GetLastError());
  EXPECT_EQ(WineDiffers("GetModuleFileNameW leaves a truncated name unterminated") ? path[3] : u'\0',
            shortPath[3]);
}

}  // namespace
