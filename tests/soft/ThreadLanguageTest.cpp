// The thread's UI language of the soft module (SetThreadUILanguage): when
// set, the string table and the system messages of that thread speak it;
// cleared, the user's language (LANG) holds again, and other threads keep
// the user's throughout.
#include <gtest/gtest.h>

#include <thread>

#include "base/Platform.h"
#include "support/TestSupport.h"

extern "C" LANGID SetThreadUILanguage(LANGID language);

namespace {

// The string-table text of id 9217 (0x2401) and the system text of
// E_ACCESSDENIED, read on the calling thread.
std::string Texts() {
  char16_t text[256] = {};
  Plat().LoadStringW(nullptr, 0x2401, text, 256);
  char16_t system[256] = {};
  Plat().FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x80070005u, 0, system, 256, nullptr);
  return Narrow(text) + "|" + Narrow(system);
}

TEST(ThreadLanguage, TheThreadsLanguageOverridesTheUsersOnThatThreadOnly) {
  const std::string english = "Invalid key algorithm.|Access is denied.\r\n";
  const std::string chinese = "无效的密钥算法|拒绝访问。\r\n";
  const struct {
    const char* lang;     // the user's
    LANGID thread;        // 0: none set
    LANGID returned;      // by SetThreadUILanguage
    const std::string* expected;
  } kRows[] = {
      {"C", 0, 1033, &english},          {"zh_CN.UTF-8", 0, 2052, &chinese},
      {"C", 2052, 2052, &chinese},       {"C", 0x1004, 0x1004, &chinese},  // zh-SG
      {"zh_CN.UTF-8", 1033, 1033, &english}, {"zh_CN.UTF-8", 0x0404, 0x0404, &english},  // zh-TW: no texts
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::string(row.lang) + " " + std::to_string(row.thread));
    ScopedEnv lang("LANG", row.lang), all("LC_ALL", nullptr), messages("LC_MESSAGES", nullptr);
    EXPECT_EQ(SetThreadUILanguage(row.thread), row.returned);
    EXPECT_EQ(Texts(), *row.expected);
    std::string other;
    std::thread([&] { other = Texts(); }).join();
    EXPECT_EQ(other, std::string(row.lang) == "C" ? english : chinese);
    SetThreadUILanguage(0);
  }
}

}  // namespace
