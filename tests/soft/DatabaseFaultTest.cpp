// Key containers shared by processes, and a home under faults: a held
// write lock, damage after an unclean close, killed and failing requests.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <random>
#include <set>
#include <string>

#include "base/Platform.h"
#include "encoding/Unicode.h"
#include "support/AgentFixture.h"
#include "support/ChildProcess.h"
#include "support/CryptTestSupport.h"
#include "support/FaultVfs.h"

namespace {

// One double-certificate request of `agent`; its status.
HRESULT Request(ICryptoAgent* agent, bool sm2) {
  Select(agent, sm2 ? u"SM2" : u"RSA", sm2 ? kSm2Token : kRsaToken, sm2 ? 256 : 1024);
  Bstr subject(u"CN=Fault,C=CN");
  BstrHolder out;
  return agent->ZENQ_PKCS10CertRequisition(subject, 2, 1, out.out());
}

// One request of a new control; its status, and the container in *name.
HRESULT Request(bool sm2, std::string* name = nullptr) {
  AgentRef agent;
  const HRESULT hr = Request(agent.get(), sm2);
  if (name) *name = ContainerOf(agent.get());
  return hr;
}

// Runs `sql` on the user's database with a connection of its own.
std::string Sql(const std::string& db, const char* sql) {
  sqlite3* c = nullptr;
  std::string first;
  sqlite3_open_v2(db.c_str(), &c, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_exec(c, sql, [](void* out, int, char** values, char**) {
    auto* text = static_cast<std::string*>(out);
    if (text->empty() && values[0]) *text = values[0];
    return 0;
  }, &first, nullptr);
  sqlite3_close(c);
  return first;
}

// The number of keys (exchange, signature) the container holds.
int KeyCount(const char16_t* provider, const std::string& name) {
  Prov prov;
  Key exchange, signature;
  if (!prov.Acquire(Utf8ToUtf16(name).c_str(), provider, 0)) return 0;
  return Plat().CryptGetUserKey(prov.h, AT_KEYEXCHANGE, &exchange.h) +
         Plat().CryptGetUserKey(prov.h, AT_SIGNATURE, &signature.h);
}

std::set<std::string> Containers(const char16_t* provider) {
  Prov prov;
  if (!prov.Acquire(nullptr, provider, CRYPT_VERIFYCONTEXT)) return {};
  const std::vector<std::string> names = ContainerNames(prov.h);
  return {names.begin(), names.end()};
}

// Creates container `name` of `provider` with an exchange key of `alg`;
// true on success.
bool CreateWithKey(const std::string& name, const char16_t* provider, ALG_ID alg, DWORD bits) {
  Prov prov;
  Key key;
  return prov.Acquire(Utf8ToUtf16(name).c_str(), provider, CRYPT_NEWKEYSET) &&
         Plat().CryptGenKey(prov.h, alg, bits << 16, &key.h);
}

// Containers made by processes that have ended are there, with their keys
// (SM2 containers of ended processes: KilledRequestsLeaveNoContainerWithoutItsKey).
TEST(ContainerProcesses, TwoProcessesCreateAtOnce) {
  ScopedSoftHomes homes;
  constexpr int kEach = 12;
  auto creator = [](int c) {
    for (int i = 0; i < kEach; ++i)
      if (!CreateWithKey(std::to_string(100 * c + i), kBase, AT_KEYEXCHANGE, 512)) return 1;
    return 0;
  };
  const pid_t a = Spawn([&] { return creator(1); }), b = Spawn([&] { return creator(2); });
  EXPECT_EQ(0, WaitExit(a));
  EXPECT_EQ(0, WaitExit(b));
  const std::set<std::string> names = Containers(kBase);
  EXPECT_EQ(2u * kEach, names.size());
  for (const std::string& name : names) EXPECT_EQ(1, KeyCount(kBase, name)) << name;
}

// Each test in fresh homes; `db_` is the user's database file.
struct SoftDatabaseFaults : SoftHomesTest {
  const std::string db_ = homes_.user() + "/keyloom.db";
};

TEST_F(SoftDatabaseFaults, LockHeldElsewhereFailsWithinTheBoundThenSucceeds) {
  ScopedEnv timeout("KEYLOOM_LOCK_TIMEOUT_MS", "300");
  ASSERT_EQ(S_OK, Request(false));
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const pid_t holder = fork();
  if (holder == 0) {  // holds the write lock until killed
    sqlite3* c = nullptr;
    sqlite3_open_v2(db_.c_str(), &c, SQLITE_OPEN_READWRITE, nullptr);
    const char go = sqlite3_exec(c, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == 0 ? 'y' : 'n';
    if (write(ready[1], &go, 1) != 1) _exit(1);
    pause();
  }
  char go = 0;
  ASSERT_EQ(1, read(ready[0], &go, 1));
  ASSERT_EQ('y', go);
  // Reads go on beside the writer, in a process opening the home afresh.
  EXPECT_EQ(0, WaitExit(Spawn([] { return Containers(kRsaToken).size() == 1 ? 0 : 1; })));

  AgentRef agent;  // fails once the lock timeout has passed
  EXPECT_EQ(HRESULT(0x80070021), Request(agent.get(), false));
  EXPECT_EQ(0u, LastErrorText(agent.get()).find("The process cannot access the file"));

  kill(holder, SIGKILL);
  WaitExit(holder);
  EXPECT_EQ(S_OK, Request(agent.get(), false));
}

TEST_F(SoftDatabaseFaults, DamageFoundAfterAnUncleanCloseIsReported) {
  ASSERT_EQ(0, WaitExit(Spawn([] { return Request(true) == S_OK ? 0 : 1; })));
  // A process left frames in the WAL (killed), and the pages of the keys
  // were damaged; the registry pages a write touches are whole.
  const long page = std::stol(Sql(db_, "SELECT rootpage FROM sqlite_master WHERE name='container_keys'"));
  ASSERT_EQ(0, WaitExit(Spawn([this] {
              sqlite3* c = nullptr;
              sqlite3_open_v2(db_.c_str(), &c, SQLITE_OPEN_READWRITE, nullptr);
              return sqlite3_exec(c, "CREATE TABLE other(a)", nullptr, nullptr, nullptr);
            })));
  FILE* f = fopen(db_.c_str(), "r+b");
  ASSERT_NE(nullptr, f);
  fseek(f, (page - 1) * 4096, SEEK_SET);
  for (int i = 0; i < 4096; ++i) fputc(0xA5, f);
  fclose(f);

  HKEY key = nullptr;
  for (int again = 0; again < 2; ++again)
    EXPECT_EQ(ERROR_FILE_CORRUPT, Plat().RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\K", 0, nullptr,
                                                       0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
}

// Requests killed at random points leave every container they reported,
// with its key, a sound file, and after the next open no container without
// its key.
TEST_F(SoftDatabaseFaults, KilledRequestsLeaveNoContainerWithoutItsKey) {
  std::mt19937 random(std::random_device{}());
  std::set<std::string> reported[2];
  for (int round = 0; round < 30; ++round) {
    const bool sm2 = round % 2;
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const pid_t child = fork();
    if (child == 0) {
      close(fds[0]);
      for (std::string name;;)
        if (Request(sm2, &name) == S_OK && write(fds[1], (name + "\n").data(), name.size() + 1) < 0)
          _exit(1);
    }
    close(fds[1]);
    usleep(std::uniform_int_distribution<int>(0, sm2 ? 40000 : 150000)(random));
    kill(child, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, WaitExit(child));
    FILE* lines = fdopen(fds[0], "r");
    for (char line[128]; fgets(line, sizeof line, lines);)
      reported[sm2].insert(std::string(line, strcspn(line, "\n")));
    fclose(lines);
  }
  EXPECT_EQ("ok", Sql(db_, "PRAGMA integrity_check"));
  for (int sm2 = 0; sm2 < 2; ++sm2) {
    const char16_t* provider = sm2 ? kSm2Token : kRsaToken;
    const std::set<std::string> present = Containers(provider);
    for (const std::string& name : reported[sm2]) EXPECT_TRUE(present.count(name)) << name;
    for (const std::string& name : present) EXPECT_GT(KeyCount(provider, name), 0) << name;
  }
}

// The nth write of a request fails, for n = 1, 2, ... until the request
// succeeds. After the next open, in a process of its own: a request that
// reported the failure left no container, a request reported done (the
// failed write one SQLite could redo) left both its keys, no container
// lacks a key, and the file is sound.
TEST_F(SoftDatabaseFaults, EveryFailedWriteOfARequestLeavesOldOrNewState) {
  ASSERT_EQ(S_OK, Request(true));  // the home exists; the first request is old state
  int n = 1;
  for (bool done = false; !done && n < 400; ++n) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    // 0: the write was never reached and the request succeeded; 1: it failed
    // and the request reported a failure; 2: it failed and the request succeeded.
    const pid_t child = Spawn([&] {
      FaultVfsFailAt(n);
      std::string name;
      const HRESULT hr = Request(true, &name);
      if (write(fds[1], (name + "\n").data(), name.size() + 1) < 0) return 3;
      return FaultVfsFired() ? (hr == S_OK ? 2 : 1) : (hr == S_OK ? 0 : 4);
    });
    close(fds[1]);
    char line[128] = {};
    const ssize_t got = read(fds[0], line, sizeof line - 1);
    close(fds[0]);
    const int verdict = WaitExit(child);
    ASSERT_TRUE(verdict <= 2 && got > 0) << "write " << n << " verdict " << verdict;
    done = verdict == 0;
    const std::string name(line, strcspn(line, "\n"));
    EXPECT_EQ(0, WaitExit(Spawn([&] {
                const std::set<std::string> present = Containers(kSm2Token);
                for (const std::string& c : present)
                  if (KeyCount(kSm2Token, c) == 0) return 1;
                if (verdict == 1) return present.count(name) ? 2 : 0;
                return KeyCount(kSm2Token, name) == 2 ? 0 : 3;  // both keys of the double request
              })))
        << "write " << n << " verdict " << verdict << " container " << name;
    EXPECT_EQ("ok", Sql(db_, "PRAGMA integrity_check")) << n;
  }
  EXPECT_GT(n, 3);  // some writes failed before one request went through
}

}  // namespace
