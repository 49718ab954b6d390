// A home's WAL is replayed only onto the database it was written for: one
// copied from another home, or kept from an earlier moment of this home (a
// backup restored from two moments), is refused as damage and left in place.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <string>

#include "base/Platform.h"
#include "platform/soft/registry/SoftDatabase.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// Makes container `name` with a key in `home` from a child that ends
// without closing its database (as a killed process), so its WAL stays.
void WriteUnclean(const std::string& home, const std::string& name) {
  EXPECT_EQ(0, WaitExit(Spawn([&] {
    setenv("KEYLOOM_HOME", home.c_str(), 1);
    const std::u16string container(name.begin(), name.end());
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    const bool made = Plat().CryptAcquireContextW(&prov, container.c_str(),
                                                  u"Keyloom SM2 Token Provider", PROV_RSA_FULL,
                                                  CRYPT_NEWKEYSET) &&
                      Plat().CryptGenKey(prov, KL_CALG_SM2_KEYX, 0, &key) &&
                      Plat().CryptDestroyKey(key) && Plat().CryptReleaseContext(prov, 0);
    return made ? 0 : 1;
  })));
}

// `keyloom key list` with the home left clean by a process that closed.
int CloseCleanly() {
  std::string out;
  return RunCommand(KEYLOOM_CLI_PATH " key list", &out);
}

TEST(SoftWalOwner, OnlyTheDatabasesOwnWalIsReplayed) {
  const struct {
    const char* what;
    // Leaves the user's home with a WAL; `other` is a second home.
    std::function<void(const std::string& home, const std::string& other)> prepare;
    const char* expected;  // in key list's output: a container, or the status
  } kRows[] = {
      {"its own WAL", [](auto& home, auto&) { WriteUnclean(home, "a"); }, "\"container\":\"a\""},
      {"another home's WAL",
       [](auto& home, auto& other) {
         WriteUnclean(home, "a");
         EXPECT_EQ(0, CloseCleanly());
         WriteUnclean(other, "b");
         fs::copy_file(other + "/keyloom.db-wal", home + "/keyloom.db-wal",
                       fs::copy_options::overwrite_existing);
       },
       "0x80070570"},
      {"its WAL of an earlier moment",
       [](auto& home, auto&) {
         WriteUnclean(home, "a");
         fs::copy_file(home + "/keyloom.db-wal", home + "/earlier-wal");
         EXPECT_EQ(0, CloseCleanly());
         WriteUnclean(home, "b");
         EXPECT_EQ(0, CloseCleanly());
         fs::copy_file(home + "/earlier-wal", home + "/keyloom.db-wal",
                       fs::copy_options::overwrite_existing);
       },
       "0x80070570"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.what);
    ScopedSoftHomes homes;
    SoftCloseDatabases();
    row.prepare(homes.user(), homes.root() + "/other");
    std::string out;
    RunCommand(KEYLOOM_CLI_PATH " key list", &out, true);
    EXPECT_NE(std::string::npos, out.find(row.expected)) << out;
    // A refused WAL stays: the next open refuses it too.
    if (std::string(row.expected) == "0x80070570") {
      EXPECT_EQ(1, RunCommand(KEYLOOM_CLI_PATH " key list 2>/dev/null", &out));
    }
  }
}

}  // namespace
