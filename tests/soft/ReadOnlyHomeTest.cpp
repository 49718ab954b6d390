// A home its owner cannot write (folder 0500, or a read-only mount) still
// shows the keys it holds; only writing fails, as ERROR_WRITE_PROTECT.
// Root writes through folder modes, so the owner here is another uid and
// the test needs root to become it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "base/Platform.h"
#include "platform/soft/registry/SoftDatabase.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace {

constexpr uid_t kOwner = 65534;  // nobody
constexpr char16_t kEnhanced[] = u"Microsoft Enhanced Cryptographic Provider v1.0";

// Runs `body` as kOwner with KEYLOOM_HOME at `home`; its exit code.
template <typename F>
int AsOwner(const std::string& home, F body) {
  SoftCloseDatabases();  // the child inherits no connection of this process
  return WaitExit(Spawn([&] {
    if (setgid(kOwner) != 0 || setuid(kOwner) != 0) return 90;
    setenv("KEYLOOM_HOME", home.c_str(), 1);
    return body();
  }));
}

TEST(SoftReadOnlyHome, KeysAreReadAndWritesAreRefusedAsWriteProtected) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another uid";
  char made[] = "/tmp/keyloom-rohome-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(made));
  const std::string above = made, home = above + "/home";
  ASSERT_EQ(0, chmod(above.c_str(), 0755));
  ASSERT_EQ(0, mkdir(home.c_str(), 0700));
  ASSERT_EQ(0, chown(home.c_str(), kOwner, kOwner));

  ASSERT_EQ(0, AsOwner(home, [] {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    return Plat().CryptAcquireContextW(&prov, u"kept", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET) &&
                   Plat().CryptGenKey(prov, AT_SIGNATURE, 1024u << 16, &key) &&
                   Plat().CryptDestroyKey(key) && Plat().CryptReleaseContext(prov, 0)
               ? 0
               : 1;
  }));
  ASSERT_EQ(0, chmod(home.c_str(), 0500));

  // 0: read; 2: the key is missing; 3: the write was not refused as
  // write-protected (4: it succeeded).
  EXPECT_EQ(0, AsOwner(home, [] {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    if (!Plat().CryptAcquireContextW(&prov, u"kept", kEnhanced, PROV_RSA_FULL, 0) ||
        !Plat().CryptGetUserKey(prov, AT_SIGNATURE, &key))
      return 2;
    Plat().CryptDestroyKey(key);
    Plat().CryptReleaseContext(prov, 0);
    if (Plat().CryptAcquireContextW(&prov, u"new", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET) &&
        Plat().CryptGenKey(prov, AT_SIGNATURE, 1024u << 16, &key))
      return 4;
    return HRESULT_FROM_WIN32(Plat().GetLastError()) == HRESULT_FROM_WIN32(ERROR_WRITE_PROTECT) ? 0 : 3;
  }));
  std::filesystem::remove_all(above);
}

}  // namespace
