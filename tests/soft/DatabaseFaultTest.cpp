// Key containers shared by processes, and a home under faults (held locks,
// killed requests, a full disk); odd RSA half lengths.
#include <errno.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/Platform.h"
#include "encoding/Unicode.h"
#include "support/AgentFixture.h"
#include "support/ChildProcess.h"
#include "support/CryptTestSupport.h"
#include "support/DerTestSupport.h"
#include "support/FaultVfs.h"
#include "platform/soft/registry/SoftDatabase.h"

namespace {

// One double-certificate request of a new control; its status, and the
// container in *name.
HRESULT Request(bool sm2, std::string* name = nullptr) {
  AgentRef agent;
  Select(agent.get(), sm2 ? u"SM2" : u"RSA", sm2 ? kSm2Token : kRsaToken, sm2 ? 256 : 1024);
  BstrHolder out;
  const HRESULT hr = agent->ZENQ_PKCS10CertRequisition(Bstr(u"CN=Fault,C=CN"), 2, 1, out.out());
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

// A process of its own that runs `sql` on `db` and keeps its transaction
// open until Release; -1 when the statement failed.
pid_t HoldInChild(const std::string& db, const char* sql) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    sqlite3* c = nullptr;
    sqlite3_open_v2(db.c_str(), &c, SQLITE_OPEN_READWRITE, nullptr);
    const char go = sqlite3_exec(c, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? 'y' : 'n';
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

void Release(pid_t holder) {
  kill(holder, SIGKILL);
  WaitExit(holder);
}

// Containers made by processes that have ended are there, with their keys
// (SM2 containers of ended processes: KilledRequestsLeaveNoContainerWithoutItsKey).
TEST(ContainerProcesses, TwoProcessesCreateAtOnce) {
  ScopedSoftHomes homes;
  constexpr int kEach = 12;
  auto creator = [](int c) {
    for (int i = 0; i < kEach; ++i)
      if (!MakeContainerKey(Utf8ToUtf16(std::to_string(100 * c + i)).c_str(), kBase, AT_KEYEXCHANGE,
                            512 << 16))
        return 1;
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

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool OnDisk(const std::string& db, const std::string& bytes) {
  return ReadFile(db).find(bytes) != std::string::npos ||
         ReadFile(db + "-wal").find(bytes) != std::string::npos;
}

struct CallDeadline : SoftDatabaseFaults {
  ScopedEnv limit_{"KEYLOOM_LOCK_TIMEOUT_MS", "1000"};
  pid_t HoldSnapshot() { return HoldInChild(db_, "BEGIN; SELECT count(*) FROM container_keys;"); }
};

// Two deletes in one call: the second finds the deadline spent (2 s when
// each transaction had a limit of its own).
TEST_F(CallDeadline, SeveralTransactionsOfOneCallWaitOneLimit) {
  ASSERT_TRUE(MakeContainerKey(u"one", kBase, CALG_RSA_KEYX, 1024 << 16));
  ASSERT_TRUE(MakeContainerKey(u"two", kBase, CALG_RSA_KEYX, 1024 << 16));
  SoftCloseDatabases();
  const pid_t reader = HoldSnapshot();
  ASSERT_GT(reader, 0);
  const Clock::time_point start = Clock::now();
  Plat().BeginCall();
  for (const char16_t* name : {u"one", u"two"}) {
    HCRYPTPROV ignored = 0;
    EXPECT_FAILS_WITH(ERROR_SHARING_VIOLATION,
                      Plat().CryptAcquireContextW(&ignored, name, kBase, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
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
  ASSERT_TRUE(MakeContainerKey(u"gone", kBase, CALG_RSA_KEYX, 1024 << 16));
  SoftCloseDatabases();
  // 32 octets from the middle of the stored key
  const Bytes middle = FromHex(Sql(db_, "SELECT hex(substr(der, 65, 32)) FROM container_keys"));
  const std::string bytes(middle.begin(), middle.end());
  ASSERT_EQ(32u, bytes.size());
  ASSERT_TRUE(OnDisk(db_, bytes));
  const pid_t reader = HoldSnapshot();
  ASSERT_GT(reader, 0);

  std::string err;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(1, RunCommand(KEYLOOM_CLI_PATH " key delete --provider '" + Narrow(kBase) +
                              "' --container gone 2>&1 >/dev/null", &err));
  EXPECT_LT(SecondsSince(start), 1.8);
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

// The nth write of a request fails, n = 1, 2, ... until it succeeds: a
// reported failure left no container, a success both keys, the file sound.
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

// A full disk reads as ERROR_DISK_FULL, not as a generic write fault.
TEST(SoftHomeRules, FullDiskIsNamed) {
  ScopedSoftHomes homes;
  Prov prov;
  ASSERT_TRUE(prov.Acquire(u"full", kEnhanced, CRYPT_NEWKEYSET));
  FaultVfsFailWrites(ENOSPC);
  SoftCloseDatabases();  // reopened over the failing writes
  Key failed;
  EXPECT_FAILS_WITH(ERROR_DISK_FULL, Plat().CryptGenKey(prov.h, AT_SIGNATURE, 0, &failed.h));
  FaultVfsFailWrites(0);
  SoftCloseDatabases();
  Key key;
  EXPECT_TRUE(Plat().CryptGenKey(prov.h, AT_SIGNATURE, 0, &key.h));
}

// RSA keys whose length is a multiple of 8 but not of 16 (halves of an odd
// number of octets) survive storage and export: the key read back from the
// home and the key imported from its PRIVATEKEYBLOB both sign, and OpenSSL
// verifies the signatures with the public key exported at generation.
TEST(SoftKeyLength, OddHalfLengthsStoreExportAndImport) {
  ScopedSoftHomes homes;
  const struct { const char16_t* provider; DWORD bits; } kRows[] = {
      {kRsaToken, 1032}, {kRsaToken, 2040}, {kEnhanced, 1032}, {kEnhanced, 1048}, {kEnhanced, 2040}, {kEnhanced, 2056}};
  const Bytes data = {'k', 'e', 'y', 'l', 'o', 'o', 'm'};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.bits);
    const std::u16string name = u"odd" + std::u16string(1, char16_t(u'a' + (&row - kRows)));
    Bytes pub, priv;
    {  // generated and exported, then every handle of it closed
      Prov prov;
      Key key;
      ASSERT_TRUE(prov.Acquire(name.c_str(), row.provider, CRYPT_NEWKEYSET));
      ASSERT_TRUE(Plat().CryptGenKey(prov.h, AT_SIGNATURE, row.bits << 16 | CRYPT_EXPORTABLE, &key.h));
      pub = ExportKey(key.h, PUBLICKEYBLOB), priv = ExportKey(key.h, PRIVATEKEYBLOB);
    }
    ASSERT_EQ(20 + row.bits / 8, pub.size());
    const Pkey openSslKey = RsaFromPublicBlob(pub);  // the key as exported at generation
    EXPECT_EQ(row.provider == kRsaToken, priv.empty());  // a token's key never leaves it

    // The key as the home gives it back, then the key imported from its
    // private blob.
    for (const bool import : {false, true}) {
      if (import && priv.empty()) continue;
      Prov reopened;
      Key imported;
      ASSERT_TRUE(reopened.Acquire(name.c_str(), row.provider, 0));
      ASSERT_TRUE(!import || Plat().CryptImportKey(reopened.h, priv.data(), static_cast<DWORD>(priv.size()),
                                                   0, 0, &imported.h));
      EXPECT_TRUE(VerifyRsa(openSslKey.get(), EVP_sha1(), data,
                            SignData(reopened.h, CALG_SHA1, data, AT_SIGNATURE)))
          << (import ? "imported" : "stored");
    }
  }
}

}  // namespace
