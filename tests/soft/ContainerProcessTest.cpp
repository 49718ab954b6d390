// Key containers shared by processes: a container made in one process is
// there in the next, and two processes creating at once both succeed
// (requests killed while writing: DatabaseFaultTest.cpp).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <set>
#include <string>

#include "base/Platform.h"
#include "encoding/Unicode.h"
#include "support/ChildProcess.h"

namespace {

constexpr const char16_t* kBase = u"Microsoft Base Cryptographic Provider v1.0";
constexpr const char16_t* kSm2Token = u"Keyloom SM2 Token Provider";

// Creates container `name` with an exchange key; 0 on success, else the
// last error.
DWORD CreateWithKey(const std::string& name, const char16_t* provider, ALG_ID alg, DWORD bits) {
  const std::u16string wide = Utf8ToUtf16(name);
  HCRYPTPROV prov = 0;
  if (!Plat().CryptAcquireContextW(&prov, wide.c_str(), provider, PROV_RSA_FULL, CRYPT_NEWKEYSET))
    return Plat().GetLastError();
  HCRYPTKEY key = 0;
  const BOOL ok = Plat().CryptGenKey(prov, alg, bits << 16, &key);
  const DWORD error = ok ? 0 : Plat().GetLastError();
  if (ok) Plat().CryptDestroyKey(key);
  Plat().CryptReleaseContext(prov, 0);
  return error;
}

// True when the container exists and holds its exchange key.
bool HasKey(const std::string& name, const char16_t* provider) {
  const std::u16string wide = Utf8ToUtf16(name);
  HCRYPTPROV prov = 0;
  if (!Plat().CryptAcquireContextW(&prov, wide.c_str(), provider, PROV_RSA_FULL, 0)) return false;
  HCRYPTKEY key = 0;
  const bool ok = Plat().CryptGetUserKey(prov, AT_KEYEXCHANGE, &key);
  if (ok) Plat().CryptDestroyKey(key);
  Plat().CryptReleaseContext(prov, 0);
  return ok;
}

std::set<std::string> Containers(const char16_t* provider) {
  std::set<std::string> names;
  HCRYPTPROV prov = 0;
  if (!Plat().CryptAcquireContextW(&prov, nullptr, provider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    return names;
  for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
    char name[256];
    DWORD size = sizeof name;
    if (!Plat().CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flags))
      break;
    names.insert(name);
  }
  Plat().CryptReleaseContext(prov, 0);
  return names;
}

// "prefix" followed by the numbers (snprintf keeps GCC 12's -Wrestrict quiet).
std::string Numbered(const char* prefix, int a, int b = -1) {
  char text[64];
  if (b < 0) std::snprintf(text, sizeof text, "%s%d", prefix, a);
  else std::snprintf(text, sizeof text, "%s%d-%d", prefix, a, b);
  return text;
}

TEST(ContainerProcesses, AContainerOutlivesItsProcess) {
  ScopedSoftHomes homes;
  ASSERT_EQ(0, WaitExit(Spawn([] {
              return CreateWithKey("made-elsewhere", kSm2Token, KL_CALG_SM2_KEYX, 0) ? 1 : 0;
            })));
  EXPECT_TRUE(HasKey("made-elsewhere", kSm2Token));
  struct stat st {};
  ASSERT_EQ(0, stat((homes.user() + "/keyloom.db").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST(ContainerProcesses, TwoProcessesCreateAtOnce) {
  ScopedSoftHomes homes;
  constexpr int kEach = 12;
  auto creator = [](int c) {
    return [c] {
      for (int i = 0; i < kEach; ++i)
        if (CreateWithKey(Numbered("p", c, i), kBase, AT_KEYEXCHANGE, 512) != 0) return 1;
      return 0;
    };
  };
  const pid_t a = Spawn(creator(0)), b = Spawn(creator(1));
  EXPECT_EQ(0, WaitExit(a));
  EXPECT_EQ(0, WaitExit(b));
  const std::set<std::string> names = Containers(kBase);
  EXPECT_EQ(2u * kEach, names.size());
  for (const std::string& name : names) EXPECT_TRUE(HasKey(name, kBase)) << name;
}

}  // namespace
