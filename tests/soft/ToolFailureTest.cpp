// The tool on a damaged or refused home: every failure is reported on
// stderr with its status and text and exit status 1, never as an empty
// list; arguments that are not UTF-8 still give valid JSON lines.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <string>

#include "support/TestSupport.h"

namespace {

TEST(SoftToolFailures, FailuresGoToStderrWithStatusAndText) {
  const struct { const char* args; std::function<void(const std::string& db)> prepare; const char* stderrText; } kRows[] = {
      {"key list", [](auto& db) { std::ofstream(db) << "not a database"; },
       "keyloom key list Keyloom RSA Token Provider: 0x8007000d The data is invalid.\n"},
      {"key list", [](auto& db) { std::ofstream(db).flush(); EXPECT_EQ(0, chown(db.c_str(), 54321, 54321)); },
       "keyloom key list Keyloom RSA Token Provider: 0x80070005 Access is denied.\n"},
      {"key delete --provider 'Keyloom RSA Token Provider' --container none", [](auto&) {},
       "keyloom key delete: 0x80090016 "},
      {"key verify --provider 'Keyloom SM2 Token Provider' --container none", [](auto&) {},
       "keyloom key verify: 0x80090016 Keyset does not exist\n"},
      {"store list NoSuchStore", [](auto&) {},
       "keyloom store list NoSuchStore: 0x80070002 The system cannot find the file specified.\n"},
  };
  for (const auto& row : kRows) {
    ScopedSoftHomes homes;
    mkdir(homes.user().c_str(), 0700);
    row.prepare(homes.user() + "/keyloom.db");
    std::string err;
    EXPECT_EQ(1, RunCommand(KEYLOOM_CLI_PATH " " + std::string(row.args) + " 2>&1 >/dev/null", &err));
    EXPECT_NE(std::string::npos, err.find(row.stderrText)) << row.args << "\n" << err;
  }
}

// Each octet of a broken sequence becomes U+FFFD (EF BF BD), so the line
// stays valid JSON.
TEST(SoftToolFailures, ArgumentsThatAreNotUtf8BecomeReplacementCharacters) {
  ScopedSoftHomes homes;
  std::string out;
  EXPECT_EQ(1, RunCommand(KEYLOOM_CLI_PATH " call $(printf 'A\\377\\300\\257B') 2>/dev/null", &out));
  EXPECT_EQ("{\"method\":\"A\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "B\",\"hr\":\"0x80020006\",\"result\":null}\n", out);
}

}  // namespace
