// The soft platform's homes as files: modes, WAL, a home that cannot be
// written, homes another local user prepared,
// the home found without $HOME, and the WAL emptied so the database file
// alone holds the rows and a deleted key leaves no copy in any file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <string>

#include "base/Platform.h"
#include "encoding/Unicode.h"
#include "platform/soft/registry/SoftDatabase.h"
#include "platform/soft/registry/SoftHomeFiles.h"
#include "support/ChildProcess.h"
#include "support/TraceRecorder.h"

namespace {

constexpr uid_t kOther = 54321;  // a uid no file of the test belongs to

// Creates the key with a DWORD value N = 1.
LSTATUS CreateKey(HKEY root, const std::u16string& path = u"Software\\Keyloom") {
  static const BYTE kDword[] = {1, 0, 0, 0};
  HKEY key = nullptr;
  const LSTATUS rc = Plat().RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                            nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  const LSTATUS set = Plat().RegSetValueExW(key, u"N", 0, REG_DWORD, kDword, 4);
  Plat().RegCloseKey(key);
  return set;
}

mode_t Mode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

void Touch(const std::string& path, mode_t mode) {
  std::ofstream(path).flush();
  chmod(path.c_str(), mode);
}

void GiveAway(const std::string& path) {
  if (chown(path.c_str(), kOther, kOther) != 0) ADD_FAILURE() << path;
}

using SoftHome = SoftHomesTest;
using SoftHomeGuard = SoftHomesTest;

TEST_F(SoftHome, CreatedOwnerOnlyInWalMode) {
  const std::string nested = homes_.root() + "/deep/user";
  ScopedEnv env("KEYLOOM_HOME", nested.c_str());
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(HKEY_CURRENT_USER));
  EXPECT_EQ(0700u, Mode(homes_.root() + "/deep"));
  EXPECT_EQ(0700u, Mode(nested));
  EXPECT_EQ(0600u, Mode(nested + "/keyloom.db"));
  EXPECT_EQ(0600u, Mode(nested + "/keyloom.db-wal"));
  // Octets 18 and 19 of an SQLite file header are 2 in WAL mode.
  EXPECT_EQ(std::string("\2\2"), ReadFile(nested + "/keyloom.db").substr(18, 2));
}

TEST_F(SoftHome, ReadsOfAnAbsentHomeCreateNothing) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            Plat().RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, &key));
  EXPECT_EQ(0u, Mode(homes_.machine()));
}

TEST_F(SoftHome, UnwritableMachineHomeIsAccessDenied) {
  ScopedUnwritableMachineHome machine(homes_);
  ASSERT_TRUE(machine.ok());
  EXPECT_EQ(ERROR_ACCESS_DENIED, CreateKey(HKEY_LOCAL_MACHINE));
  EXPECT_EQ(ERROR_ACCESS_DENIED, CreateKey(HKEY_CLASSES_ROOT, u"Keyloom.Class"));
  EXPECT_EQ(ERROR_SUCCESS, CreateKey(HKEY_CURRENT_USER));  // the user's hive is unaffected
}

TEST_F(SoftHomeGuard, PreparedHomesAreRefused) {
  // Each row prepares the user's home `h` (an empty folder of the user, mode
  // 0700) as a hostile neighbour would.
  const struct { const char* what; std::function<void(const std::string& h)> prepare; } kRows[] = {
      {"home of another user", [](auto& h) { GiveAway(h); }},
      {"home writable by others", [](auto& h) { chmod(h.c_str(), 0777); }},
      {"home writable by group", [](auto& h) { chmod(h.c_str(), 0770); }},
      {"database 0666", [](auto& h) { Touch(h + "/keyloom.db", 0666); }},
      {"database of another user", [](auto& h) { Touch(h + "/keyloom.db", 0600), GiveAway(h + "/keyloom.db"); }},
      {"WAL of another user", [](auto& h) { Touch(h + "/keyloom.db-wal", 0600), GiveAway(h + "/keyloom.db-wal"); }},
      {"database a link",
       [](auto& h) { Touch(h + ".target", 0600), symlink((h + ".target").c_str(), (h + "/keyloom.db").c_str()); }},
      {"folder above writable by others", [](auto& h) { chmod(h.substr(0, h.rfind('/')).c_str(), 0777); }},
  };
  for (const auto& row : kRows) {
    ScopedSoftHomes homes;
    const std::string home = homes.root() + "/above/user";
    mkdir((homes.root() + "/above").c_str(), 0700);
    mkdir(home.c_str(), 0700);
    ScopedEnv env("KEYLOOM_HOME", home.c_str());
    row.prepare(home);
    ScopedTraceRecorder trace(0x1);  // failure records
    EXPECT_EQ(ERROR_ACCESS_DENIED, CreateKey(HKEY_CURRENT_USER)) << row.what;
    bool said = false;
    for (const RecordedTrace& r : ScopedTraceRecorder::records())
      said = said || (r.args.size() > 2 && r.args[2].find("home refused") == 0);
    EXPECT_TRUE(said) << row.what;
    EXPECT_EQ(0, ReadFile(home + ".target").size()) << row.what;  // the link's target untouched
  }
}

TEST_F(SoftHomeGuard, OwnLooseDatabaseIsMadeOwnerOnlyWithItsWal) {
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(HKEY_CURRENT_USER));
  SoftCloseDatabases();
  chmod((homes_.user() + "/keyloom.db").c_str(), 0644);  // an empty file would be damage
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(HKEY_CURRENT_USER));
  for (const char* suffix : {"", "-wal", "-shm"})
    EXPECT_EQ(0600u, Mode(homes_.user() + "/keyloom.db" + suffix)) << suffix;
}

TEST_F(SoftHomeGuard, HomeWithoutHomeVariableComesFromThePasswordDatabase) {
  ScopedEnv a("KEYLOOM_HOME", nullptr), b("XDG_DATA_HOME", nullptr), c("HOME", nullptr);
  const passwd* entry = getpwuid(geteuid());
  ASSERT_NE(nullptr, entry);
  EXPECT_EQ(std::string(entry->pw_dir) + "/.local/share/keyloom", SoftHomePath(SoftScope::kUser));
}

// A deleted key's prime is in no file of the home afterwards, and a copy of
// keyloom.db alone (no WAL) holds what a finished process wrote.
TEST_F(SoftHomeGuard, DeletedKeyLeavesNoCopyAndTheFileAloneHoldsTheRows) {
  const std::string db = homes_.user() + "/keyloom.db";
  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  SoftCloseDatabases();  // the child inherits no connection of this process
  const pid_t child = fork();
  if (child == 0) {  // makes the key, hands over its first prime, exits
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    DWORD size = 2048;
    BYTE blob[2048];
    if (!Plat().CryptAcquireContextW(&prov, u"gone", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
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
  ASSERT_TRUE(Plat().CryptAcquireContextW(&prov, u"gone", kEnhanced, PROV_RSA_FULL,
                                          CRYPT_DELETEKEYSET));
  for (const char* suffix : {"", "-wal", "-shm"})
    EXPECT_EQ(std::string::npos, ReadFile(db + suffix).find(p)) << suffix;
}

}  // namespace

// Checking the files of a database this process has open keeps the POSIX
// locks it holds on each of them (SQLite's): closing any descriptor of a
// file would drop them, and another process could write under them.
TEST_F(SoftHome, ChecksKeepThisProcessLocksOnTheDatabaseFiles) {
  const std::string db = homes_.root() + "/locks.db";
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string path = db + suffix;
    Touch(path, 0600);
    const int fd = open(path.c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_len = 1;
    ASSERT_EQ(0, fcntl(fd, F_SETLK, &lock)) << path;
    EXPECT_EQ(ERROR_SUCCESS, SoftCheckDatabaseFiles(db, false));
    const pid_t child = Spawn([&] {
      struct flock probe = lock;
      const int other = open(path.c_str(), O_RDWR);
      return fcntl(other, F_GETLK, &probe) == 0 && probe.l_type == F_WRLCK ? 0 : 1;
    });
    EXPECT_EQ(0, WaitExit(child)) << "the lock on " << path << " was dropped";
    close(fd);
  }
}
