// A reader in another process holding a snapshot: a call waits for it at
// most the lock limit in all, its closing checkpoint included, and a key
// deleted meanwhile is reported as still on disk, then erased at the next
// open once the reader has gone.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "base/Platform.h"
#include "encoding/Unicode.h"
#include "platform/soft/registry/SoftDatabase.h"
#include "support/CryptCalls.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool CreateWithKey(const char16_t* name) {
  Prov prov;
  Key key;
  return prov.Acquire(name, kBase, CRYPT_NEWKEYSET) &&
         Plat().CryptGenKey(prov.h, CALG_RSA_KEYX, 1024 << 16, &key.h);
}

// A process of its own that has read the key table in an open transaction
// and keeps that snapshot until killed.
pid_t HoldSnapshot(const std::string& db) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    sqlite3* c = nullptr;
    sqlite3_open_v2(db.c_str(), &c, SQLITE_OPEN_READWRITE, nullptr);
    const char go = sqlite3_exec(c, "BEGIN; SELECT count(*) FROM container_keys;", nullptr, nullptr,
                                 nullptr) == SQLITE_OK ? 'y' : 'n';
    if (write(ready[1], &go, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char go = 0;
  const bool held = read(ready[0], &go, 1) == 1 && go == 'y';
  close(ready[0]);
  close(ready[1]);
  return held ? pid : -1;
}

void Release(pid_t reader) {
  kill(reader, SIGKILL);
  waitpid(reader, nullptr, 0);
}

// 32 bytes from the middle of the stored key of container `name`.
std::string KeyBytes(const std::string& db, const char* name) {
  sqlite3* c = nullptr;
  sqlite3_open_v2(db.c_str(), &c, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(c, "SELECT der FROM container_keys WHERE container=?1", -1, &s, nullptr);
  sqlite3_bind_text(s, 1, name, -1, SQLITE_STATIC);
  std::string bytes;
  if (sqlite3_step(s) == SQLITE_ROW && sqlite3_column_bytes(s, 0) > 96)
    bytes.assign(static_cast<const char*>(sqlite3_column_blob(s, 0)) + 64, 32);
  sqlite3_finalize(s);
  sqlite3_close(c);
  return bytes;
}

bool OnDisk(const std::string& db, const std::string& bytes) {
  return ReadFile(db).find(bytes) != std::string::npos ||
         ReadFile(db + "-wal").find(bytes) != std::string::npos;
}

struct CallDeadline : SoftHomesTest {
  ScopedEnv limit_{"KEYLOOM_LOCK_TIMEOUT_MS", "1000"};
  const std::string db_ = homes_.user() + "/keyloom.db";
};

// Two deletes in one call: the second finds the deadline spent (2 s when
// each transaction had a limit of its own).
TEST_F(CallDeadline, SeveralTransactionsOfOneCallWaitOneLimit) {
  ASSERT_TRUE(CreateWithKey(u"one") && CreateWithKey(u"two"));
  SoftCloseDatabases();
  const pid_t reader = HoldSnapshot(db_);
  ASSERT_GT(reader, 0);
  const Clock::time_point start = Clock::now();
  Plat().BeginCall();
  for (const char16_t* name : {u"one", u"two"}) {
    HCRYPTPROV ignored = 0;
    EXPECT_FALSE(Plat().CryptAcquireContextW(&ignored, name, kBase, PROV_RSA_FULL,
                                             CRYPT_DELETEKEYSET));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), Plat().GetLastError());
  }
  Plat().EndCall();
  const double seconds = SecondsSince(start);
  EXPECT_GT(seconds, 0.9);  // it did wait for the reader
  EXPECT_LT(seconds, 1.8);
  Release(reader);
  SoftCloseDatabases();
}

// The tool's delete: status of its own, exit 1, within the limit (not the
// limit and the closing checkpoint's second); the key's bytes go at the
// next open once the reader has gone.
TEST_F(CallDeadline, KeyDeletedBesideAReaderIsReportedAndErasedAtTheNextOpen) {
  ASSERT_TRUE(CreateWithKey(u"gone"));
  SoftCloseDatabases();
  const std::string bytes = KeyBytes(db_, "gone");
  ASSERT_EQ(32u, bytes.size());
  ASSERT_TRUE(OnDisk(db_, bytes));
  const pid_t reader = HoldSnapshot(db_);
  ASSERT_GT(reader, 0);

  std::string err;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(1, RunCommand(KEYLOOM_CLI_PATH " key delete --provider '" + Narrow(kBase) +
                              "' --container gone 2>&1 >/dev/null", &err));
  const double seconds = SecondsSince(start);
  EXPECT_LT(seconds, 1.8);
  EXPECT_NE(std::string::npos,
            err.find("keyloom key delete: 0x80070020 The process cannot access the file because it"
                     " is being used by another process.\n")) << err;
  EXPECT_TRUE(OnDisk(db_, bytes));  // what the status reports

  Release(reader);
  Prov list;  // the next open, this connection left open
  ASSERT_TRUE(list.Acquire(nullptr, kBase, CRYPT_VERIFYCONTEXT));
  EXPECT_TRUE(ContainerNames(list.h).empty());
  EXPECT_FALSE(OnDisk(db_, bytes));
  SoftCloseDatabases();
}

}  // namespace
