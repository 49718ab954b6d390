// The soft platform's homes as files: modes, WAL, several processes at once,
// and a home that cannot be written. Only the platform table and the file
// system are used.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "base/Platform.h"
#include "encoding/Unicode.h"
#include "support/ChildProcess.h"

namespace {

const BYTE kDword[] = {1, 0, 0, 0};

LSTATUS CreateKey(HKEY root, const std::u16string& path) {
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
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

TEST(SoftHome, CreatedOwnerOnlyInWalMode) {
  ScopedSoftHomes homes;
  const std::string nested = homes.root() + "/deep/user";
  ScopedEnv env("KEYLOOM_HOME", nested.c_str());
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(HKEY_CURRENT_USER, u"Software\\Keyloom"));
  EXPECT_EQ(0700u, Mode(homes.root() + "/deep"));
  EXPECT_EQ(0700u, Mode(nested));
  EXPECT_EQ(0600u, Mode(nested + "/keyloom.db"));
  EXPECT_EQ(0600u, Mode(nested + "/keyloom.db-wal"));
  // Octets 18 and 19 of an SQLite file header are 2 in WAL mode.
  const std::string header = ReadFile(nested + "/keyloom.db").substr(0, 20);
  ASSERT_EQ(20u, header.size());
  EXPECT_EQ(2, header[18]);
  EXPECT_EQ(2, header[19]);
}

TEST(SoftHome, ReadsOfAnAbsentHomeCreateNothing) {
  ScopedSoftHomes homes;
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            Plat().RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, &key));
  EXPECT_EQ(0u, Mode(homes.machine()));
}

TEST(SoftHome, UnwritableMachineHomeIsAccessDenied) {
  ScopedSoftHomes homes;
  ScopedUnwritableMachineHome machine(homes);
  ASSERT_TRUE(machine.ok());
  EXPECT_EQ(ERROR_ACCESS_DENIED, CreateKey(HKEY_LOCAL_MACHINE, u"Software\\Keyloom"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, CreateKey(HKEY_CLASSES_ROOT, u"Keyloom.Class"));
  // The user's hive is unaffected.
  EXPECT_EQ(ERROR_SUCCESS, CreateKey(HKEY_CURRENT_USER, u"Software\\Keyloom"));
}

TEST(SoftHome, KeysPersistAcrossProcesses) {
  ScopedSoftHomes homes;
  ASSERT_EQ(0, WaitExit(Spawn([] { return static_cast<int>(CreateKey(HKEY_CURRENT_USER, u"Software\\FromChild")); })));
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            Plat().RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\FromChild", 0, KEY_READ, &key));
  DWORD value = 0, size = 4;
  EXPECT_EQ(ERROR_SUCCESS, Plat().RegQueryValueExW(key, u"N", nullptr, nullptr,
                                                   reinterpret_cast<BYTE*>(&value), &size));
  EXPECT_EQ(1u, value);
  Plat().RegCloseKey(key);
}

TEST(SoftHome, ConcurrentWritersAllSucceed) {
  ScopedSoftHomes homes;
  constexpr int kKeys = 60;
  auto writer = [](char16_t tag) {
    return [tag] {
      for (int i = 0; i < kKeys; ++i) {
        std::u16string path = u"Software\\Busy\\";
        path += tag;
        path += Utf8ToUtf16(std::to_string(i));
        if (LSTATUS rc = CreateKey(HKEY_CURRENT_USER, path)) return static_cast<int>(rc);
      }
      return 0;
    };
  };
  const pid_t a = Spawn(writer(u'a')), b = Spawn(writer(u'b'));
  EXPECT_EQ(0, WaitExit(a));
  EXPECT_EQ(0, WaitExit(b));
  HKEY busy = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            Plat().RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Busy", 0, KEY_READ, &busy));
  DWORD count = 0;
  for (;; ++count) {
    char16_t name[32];
    DWORD len = 32;
    if (Plat().RegEnumKeyExW(busy, count, name, &len, nullptr, nullptr, nullptr, nullptr) != 0)
      break;
  }
  EXPECT_EQ(2u * kKeys, count);
  Plat().RegCloseKey(busy);
}

}  // namespace
