// The soft platform's homes as files: modes, WAL ownership and emptying,
// unwritable and hostile homes, the trace file, the tool on a bad home.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "base/Platform.h"
#include "base/Status.h"
#include "encoding/Unicode.h"
#include "platform/soft/registry/SoftDatabase.h"
#include "platform/soft/registry/SoftHomeFiles.h"
#include "support/ChildProcess.h"
#include "support/CryptCalls.h"
#include "support/StoreHelpers.h"
#include "support/TraceRecorder.h"

namespace {

namespace fs = std::filesystem;

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
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

using SoftHome = SoftHomesTest;

TEST_F(SoftHome, CreatedOwnerOnlyInWalMode) {
  const std::string nested = homes_.root() + "/deep/user";
  ScopedEnv env("KEYLOOM_HOME", nested.c_str());
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(HKEY_CURRENT_USER));
  EXPECT_EQ(0700u, Mode(homes_.root() + "/deep"));
  EXPECT_EQ(0700u, Mode(nested));
  // Octets 18 and 19 of an SQLite file header are 2 in WAL mode.
  EXPECT_EQ(std::string("\2\2"), ReadFile(nested + "/keyloom.db").substr(18, 2));
}

// The machine's registry and certificate stores when the machine home may
// not be written (a user without administrative rights).
TEST_F(SoftHome, UnwritableMachineHomeIsAccessDenied) {
  ScopedUnwritableMachineHome machine(homes_);
  ASSERT_TRUE(machine.ok());
  EXPECT_EQ(ERROR_ACCESS_DENIED, CreateKey(HKEY_LOCAL_MACHINE));
  EXPECT_EQ(ERROR_ACCESS_DENIED, CreateKey(HKEY_CLASSES_ROOT, u"Keyloom.Class"));
  EXPECT_EQ(ERROR_SUCCESS, CreateKey(HKEY_CURRENT_USER));  // the user's hive is unaffected

  // Opening a store for writing is refused; read-only opens an empty store
  // that takes no additions.
  const PkiCert root = MakeCert(PkiAlg::kRsaSha256, {{{"CN", "Access Root"}}, 1}, nullptr);
  EXPECT_EQ(nullptr, OpenSystemStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Plat().GetLastError());
  HCERTSTORE ca = OpenSystemStore(CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, u"CA");
  ASSERT_NE(nullptr, ca);
  EXPECT_TRUE(StoreCerts(ca).empty());
  EXPECT_EQ(E_ACCESSDENIED, AddEncoded(ca, root.der, CERT_STORE_ADD_NEW));
  Plat().CertCloseStore(ca, 0);
}

// Each row prepares the user's home `h` (an empty folder of the user, mode
// 0700) as a hostile neighbour would; a new key and a new container both
// meet the row's status, and a refusal creates no database.
TEST_F(SoftHome, PreparedHomesAreRefused) {
  const struct {
    const char* what;
    std::function<void(const std::string& h)> prepare;
    DWORD error = ERROR_ACCESS_DENIED;
    bool databaseAfter = false;
  } kRows[] = {
      {"home of another user", [](auto& h) { EXPECT_EQ(0, chown(h.c_str(), kOther, kOther)); }},
      {"home writable by group", [](auto& h) { chmod(h.c_str(), 0770); }},
      // Root's sticky folder open to all, like /tmp: fine above a home, not as one.
      {"home shared as /tmp", [](auto& h) { chmod(h.c_str(), 01777); }},
      {"database 0666", [](auto& h) { MakeFile(h + "/keyloom.db", 0666); }, ERROR_ACCESS_DENIED, true},
      {"WAL of another user", [](auto& h) { MakeFile(h + "/keyloom.db-wal", 0600, kOther); }},
      {"database a link",
       [](auto& h) {
         MakeFile(h + ".target", 0600);
         EXPECT_EQ(0, symlink((h + ".target").c_str(), (h + "/keyloom.db").c_str()));
       },
       ERROR_ACCESS_DENIED, true},
      {"folder above writable by others", [](auto& h) { chmod(h.substr(0, h.rfind('/')).c_str(), 0777); }},
      // An empty database file is damage, never a home being made.
      {"empty database", [](auto& h) { MakeFile(h + "/keyloom.db", 0600); }, ERROR_FILE_CORRUPT, true},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.what);
    ScopedSoftHomes homes;
    const std::string home = homes.root() + "/above/user";
    mkdir((homes.root() + "/above").c_str(), 0700);
    mkdir(home.c_str(), 0700);
    ScopedEnv env("KEYLOOM_HOME", home.c_str());
    row.prepare(home);
    ScopedTraceRecorder trace(0x1);  // failure records
    EXPECT_EQ(row.error, CreateKey(HKEY_CURRENT_USER));
    bool said = false;
    for (const RecordedTrace& r : ScopedTraceRecorder::records())
      said = said || (r.args.size() > 2 && r.args[2].find("home refused") == 0);
    EXPECT_EQ(row.error == ERROR_ACCESS_DENIED, said);
    Prov prov;
    EXPECT_FAILS_WITH(row.error, prov.Acquire(u"c", kEnhanced, CRYPT_NEWKEYSET));
    EXPECT_EQ(row.databaseAfter, Mode(home + "/keyloom.db") != 0);
    EXPECT_EQ(0, ReadFile(home + ".target").size());  // the link's target untouched
  }
}

TEST_F(SoftHome, OwnLooseDatabaseIsMadeOwnerOnlyWithItsWal) {
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(HKEY_CURRENT_USER));
  SoftCloseDatabases();
  chmod((homes_.user() + "/keyloom.db").c_str(), 0644);  // an empty file would be damage
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(HKEY_CURRENT_USER));
  for (const char* suffix : {"", "-wal", "-shm"})
    EXPECT_EQ(0600u, Mode(homes_.user() + "/keyloom.db" + suffix)) << suffix;
}

// A deleted key's prime is in no file of the home afterwards, and a copy of
// keyloom.db alone (no WAL) holds what a finished process wrote.
TEST_F(SoftHome, DeletedKeyLeavesNoCopyAndTheFileAloneHoldsTheRows) {
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

// Checking the files of a database this process has open keeps the POSIX
// locks it holds on each of them (SQLite's): closing any descriptor of a
// file would drop them, and another process could write under them.
TEST_F(SoftHome, ChecksKeepThisProcessLocksOnTheDatabaseFiles) {
  const std::string db = homes_.root() + "/locks.db";
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string path = db + suffix;
    MakeFile(path, 0600);
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

// Makes container `name` with a key in `home` from a child that ends
// without closing its database (as a killed process), so its WAL stays.
void WriteUnclean(const std::string& home, const std::string& name) {
  SoftCloseDatabases();  // the child inherits no connection of this process
  EXPECT_EQ(0, WaitExit(Spawn([&] {
    setenv("KEYLOOM_HOME", home.c_str(), 1);
    return MakeContainerKey(Utf8ToUtf16(name).c_str(), kSm2Token, KL_CALG_SM2_KEYX, 0) ? 0 : 1;
  })));
}

// `keyloom key list` with the home left clean by a process that closed.
int CloseCleanly() {
  std::string out;
  return RunCommand(KEYLOOM_CLI_PATH " key list", &out);
}

// A home's WAL is replayed only onto the database it was written for: one
// copied from another home, or kept from an earlier moment of this home (a
// backup restored from two moments), is refused as damage and left in place.
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

// The trace file: only a regular file of the user that no one else can
// write takes the lines; anything else (a FIFO that would block the load, a
// file another user prepared) turns tracing off with one line on stderr.
TEST(SoftTraceFile, OnlyTheUsersOwnPrivateFileTakesTheLines) {
  const struct { const char* what; std::function<void(const std::string& f)> prepare; bool traced; } kRows[] = {
      {"new file", [](auto&) {}, true},
      {"own 0600 file", [](auto& f) { MakeFile(f, 0600); }, true},
      {"FIFO", [](auto& f) { mkfifo(f.c_str(), 0600); }, false},
      {"0620 file", [](auto& f) { MakeFile(f, 0620); }, false},
      {"file of another user", [](auto& f) { MakeFile(f, 0600, 54321); }, false},
      {"link", [](auto& f) { if (symlink("/dev/null", f.c_str()) != 0) ADD_FAILURE(); }, false},
  };
  for (const auto& row : kRows) {
    ScopedSoftHomes homes;
    const std::string file = homes.root() + "/trace", err = homes.root() + "/stderr";
    row.prepare(file);
    ScopedEnv mask("KEYLOOM_TRACE", "f"), path("KEYLOOM_TRACE_FILE", file.c_str());
    const int code = WaitExit(Spawn([&err] {
      alarm(5);  // a blocked open ends the child with SIGALRM
      dup2(open(err.c_str(), O_CREAT | O_WRONLY, 0600), STDERR_FILENO);
      TraceProviderState state{};
      const GUID guid{};
      Plat().TraceRegister(&guid, &state);
      return state.consumerHandle != 0 ? 1 : 0;
    }));
    EXPECT_EQ(row.traced ? 1 : 0, code) << row.what;
    EXPECT_EQ(row.traced, ReadFile(err).empty()) << row.what;
  }
}

// The tool on a damaged or refused home: every failure is reported on
// stderr with its status and text and exit status 1, never as an empty
// list; arguments that are not UTF-8 still give valid JSON lines.
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
      {"key verify --provider 'Keyloom SM2 Token Provider' --container none", [](auto&) {},
       "keyloom key verify: 0x80090016 Keyset does not exist\n"},
      {"store list NoSuchStore", [](auto&) {},
       "keyloom store list NoSuchStore: 0x80070002 The system cannot find the file specified.\n"},
      // A refused home or damage is never an empty store or an absent key.
      {"store list My", [](auto& db) { MakeFile(db, 0600, 54321); },
       "keyloom store list My: 0x80070005 Access is denied.\n"},
      {"store list My", TwoCertificatesOnADamagedPage,
       "keyloom store list My: 0x80070570 The file or directory is corrupted and unreadable.\n"},
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

}  // namespace
