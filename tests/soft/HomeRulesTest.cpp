// What a home may be, and what a home that cannot take a write reports:
// refusals create nothing, an empty database file is damage, and a full
// disk is named as such.
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/soft/registry/SoftDatabase.h"
#include "support/CryptCalls.h"
#include "support/FaultVfs.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Each row prepares a home folder and names the status a new container
// meets there; a refusal leaves no database behind.
TEST(SoftHomeRules, RefusedHomesCreateNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make root's and another user's files";
  ScopedSoftHomes homes;
  const struct {
    const char* name;
    void (*prepare)(const std::string& home);
    DWORD error;
    bool databaseAfter;
  } kRows[] = {
      // Root's sticky folder open to all, like /tmp: fine above a home, not as one.
      {"shared", [](const std::string& h) { mkdir(h.c_str(), 0777), chmod(h.c_str(), 01777); },
       ERROR_ACCESS_DENIED, false},
      // Another user's WAL planted in the home.
      {"planted", [](const std::string& h) {
         mkdir(h.c_str(), 0700);
         const int fd = open((h + "/keyloom.db-wal").c_str(), O_CREAT | O_WRONLY, 0600);
         if (fd >= 0) fchown(fd, 4242, 4242), close(fd);
       }, ERROR_ACCESS_DENIED, false},
      // An empty database file is damage, never a home being made.
      {"empty", [](const std::string& h) {
         mkdir(h.c_str(), 0700);
         close(open((h + "/keyloom.db").c_str(), O_CREAT | O_WRONLY, 0600));
       }, ERROR_FILE_CORRUPT, true},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    const std::string home = homes.root() + "/" + row.name;
    row.prepare(home);
    ScopedEnv env("KEYLOOM_HOME", home.c_str());
    Prov prov;
    EXPECT_FAILS_WITH(row.error, prov.Acquire(u"c", kEnhanced, CRYPT_NEWKEYSET));
    EXPECT_EQ(row.databaseAfter, Exists(home + "/keyloom.db"));
  }
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

}  // namespace
