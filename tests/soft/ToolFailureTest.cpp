// The tool on a damaged or refused home: every failure is reported on
// stderr with its status and text and exit status 1, never as an empty
// list; arguments that are not UTF-8 still give valid JSON lines.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <string>

#include "platform/soft/registry/SoftDatabase.h"
#include "support/ChildProcess.h"
#include "support/StoreHelpers.h"
#include "support/TestSupport.h"

namespace {

// Two certificates in the user's "My", then the first page of the registry's
// value table overwritten: the store's entries can no longer be read.
void TwoCertificatesOnADamagedPage(const std::string& db) {
  for (const char* cn : {"one", "two"})
    ASSERT_TRUE(AddToMy(MakeCert(PkiAlg::kRsaSha256, CertSpec{{{"CN", cn}}}, nullptr).der));
  SoftCloseDatabases();
  sqlite3* h = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr));
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(h, "SELECT rootpage, (SELECT page_size FROM pragma_page_size) FROM sqlite_master"
                        " WHERE name='reg_values'", -1, &s, nullptr);
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(s));
  const long page = sqlite3_column_int(s, 0), size = sqlite3_column_int(s, 1);
  sqlite3_finalize(s);
  sqlite3_close(h);
  std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp((page - 1) * size);
  f << std::string(static_cast<size_t>(size), '\xFF');
}

TEST(SoftToolFailures, FailuresGoToStderrWithStatusAndText) {
  const struct { const char* args; std::function<void(const std::string& db)> prepare; const char* stderrText; } kRows[] = {
      {"key list", [](auto& db) { std::ofstream(db) << "not a database"; },
       "keyloom key list Keyloom RSA Token Provider: 0x8007000d The data is invalid.\n"},
      {"key list", [](auto& db) { MakeFile(db, 0600, 54321); },
       "keyloom key list Keyloom RSA Token Provider: 0x80070005 Access is denied.\n"},
      {"key delete --provider 'Keyloom RSA Token Provider' --container none", [](auto&) {},
       "keyloom key delete: 0x80090016 "},
      {"key verify --provider 'Keyloom SM2 Token Provider' --container none", [](auto&) {},
       "keyloom key verify: 0x80090016 Keyset does not exist\n"},
      {"store list NoSuchStore", [](auto&) {},
       "keyloom store list NoSuchStore: 0x80070002 The system cannot find the file specified.\n"},
      // A refused home or damage is never an empty store or an absent key.
      {"store list My", [](auto& db) { MakeFile(db, 0600, 54321); },
       "keyloom store list My: 0x80070005 Access is denied.\n"},
      {"store list My", TwoCertificatesOnADamagedPage,
       "keyloom store list My: 0x80070570 The file or directory is corrupted and unreadable.\n"},
      {"reg query 'HKCU\\Software'", [](auto& db) { MakeFile(db, 0600, 54321); },
       "keyloom reg query HKCU\\Software: 0x80070005 Access is denied.\n"},
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
