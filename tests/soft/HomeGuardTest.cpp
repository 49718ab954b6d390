// Homes another local user prepared, the home found without $HOME, and the
// WAL emptied so the database file alone holds the rows and a deleted key
// leaves no copy in any file.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <string>

#include "base/Platform.h"
#include "platform/soft/registry/SoftDatabase.h"
#include "support/ChildProcess.h"
#include "support/TraceRecorder.h"

namespace {

constexpr uid_t kOther = 54321;  // a uid no file of the test belongs to

LSTATUS WriteUserKey() {
  HKEY key = nullptr;
  const LSTATUS rc = Plat().RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Keyloom", 0, nullptr,
                                            0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS) Plat().RegCloseKey(key);
  return rc;
}

void Touch(const std::string& path, mode_t mode) {
  std::ofstream(path).put('\0').flush();
  truncate(path.c_str(), 0);
  chmod(path.c_str(), mode);
}

mode_t Mode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(SoftHomeGuard, PreparedHomesAreRefused) {
  // Each row prepares the user's home `h` (which does not exist yet) as a
  // hostile neighbour would.
  const struct {
    const char* what;
    std::function<void(const std::string& h)> prepare;
  } kRows[] = {
      {"home of another user", [](auto& h) { mkdir(h.c_str(), 0700), chown(h.c_str(), kOther, kOther); }},
      {"home writable by others", [](auto& h) { mkdir(h.c_str(), 0700), chmod(h.c_str(), 0777); }},
      {"home writable by group", [](auto& h) { mkdir(h.c_str(), 0700), chmod(h.c_str(), 0770); }},
      {"database 0666", [](auto& h) { mkdir(h.c_str(), 0700), Touch(h + "/keyloom.db", 0666); }},
      {"database of another user",
       [](auto& h) {
         mkdir(h.c_str(), 0700), Touch(h + "/keyloom.db", 0600);
         chown((h + "/keyloom.db").c_str(), kOther, kOther);
       }},
      {"WAL of another user",
       [](auto& h) {
         mkdir(h.c_str(), 0700), Touch(h + "/keyloom.db-wal", 0600);
         chown((h + "/keyloom.db-wal").c_str(), kOther, kOther);
       }},
      {"database a link",
       [](auto& h) {
         mkdir(h.c_str(), 0700), Touch(h + ".target", 0600);
         symlink((h + ".target").c_str(), (h + "/keyloom.db").c_str());
       }},
      {"folder above writable by others",
       [](auto& h) { chmod(h.substr(0, h.rfind('/')).c_str(), 0777); }},
  };
  for (const auto& row : kRows) {
    ScopedSoftHomes homes;
    const std::string home = homes.root() + "/above/user";
    mkdir((homes.root() + "/above").c_str(), 0700);
    ScopedEnv env("KEYLOOM_HOME", home.c_str());
    row.prepare(home);
    ScopedTraceRecorder trace(0x1);  // failure records
    EXPECT_EQ(ERROR_ACCESS_DENIED, WriteUserKey()) << row.what;
    bool said = false;
    for (const RecordedTrace& r : ScopedTraceRecorder::records())
      said = said || (r.args.size() > 2 && r.args[2].find("home refused") == 0);
    EXPECT_TRUE(said) << row.what;
    EXPECT_EQ(0, ReadFile(home + ".target").size()) << row.what;  // the link's target untouched
  }
}

TEST(SoftHomeGuard, OwnLooseDatabaseIsMadeOwnerOnlyWithItsWal) {
  ScopedSoftHomes homes;
  mkdir(homes.user().c_str(), 0700);
  Touch(homes.user() + "/keyloom.db", 0644);
  ASSERT_EQ(ERROR_SUCCESS, WriteUserKey());
  EXPECT_EQ(0600u, Mode(homes.user() + "/keyloom.db"));
  EXPECT_EQ(0600u, Mode(homes.user() + "/keyloom.db-wal"));
  EXPECT_EQ(0600u, Mode(homes.user() + "/keyloom.db-shm"));
}

TEST(SoftHomeGuard, HomeWithoutHomeVariableComesFromThePasswordDatabase) {
  ScopedEnv a("KEYLOOM_HOME", nullptr), b("XDG_DATA_HOME", nullptr), c("HOME", nullptr);
  const passwd* entry = getpwuid(geteuid());
  ASSERT_NE(nullptr, entry);
  EXPECT_EQ(std::string(entry->pw_dir) + "/.local/share/keyloom", SoftHomePath(SoftScope::kUser));
}

// A deleted key's prime is in no file of the home afterwards, and a copy of
// keyloom.db alone (no WAL) holds what a finished process wrote.
TEST(SoftHomeGuard, DeletedKeyLeavesNoCopyAndTheFileAloneHoldsTheRows) {
  ScopedSoftHomes homes;
  const std::string db = homes.user() + "/keyloom.db";
  constexpr const char16_t* kProvider = u"Microsoft Enhanced Cryptographic Provider v1.0";
  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  const pid_t child = fork();
  if (child == 0) {  // makes the key, hands over its first prime, exits
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    DWORD size = 2048;
    BYTE blob[2048];
    if (!Plat().CryptAcquireContextW(&prov, u"gone", kProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
        !Plat().CryptGenKey(prov, AT_KEYEXCHANGE, 1024u << 16 | CRYPT_EXPORTABLE, &key) ||
        !Plat().CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, blob, &size))
      exit(1);
    exit(write(pipeFds[1], blob + 20 + 128, 64) == 64 ? 0 : 2);  // exit() closes the home
  }
  close(pipeFds[1]);
  char prime[64];
  ASSERT_EQ(64, read(pipeFds[0], prime, sizeof prime));
  close(pipeFds[0]);
  ASSERT_EQ(0, WaitExit(child));
  const std::string p(prime, sizeof prime);
  EXPECT_EQ(0, ReadFile(db + "-wal").size());
  EXPECT_NE(std::string::npos, ReadFile(db).find(p));

  HCRYPTPROV prov = 0;
  ASSERT_TRUE(Plat().CryptAcquireContextW(&prov, u"gone", kProvider, PROV_RSA_FULL,
                                          CRYPT_DELETEKEYSET));
  for (const char* suffix : {"", "-wal", "-shm"})
    EXPECT_EQ(std::string::npos, ReadFile(db + suffix).find(p)) << suffix;
}

}  // namespace
