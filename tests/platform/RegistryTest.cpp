// The registry calls through the platform table: the same assertions hold
// for the real platform and the soft one.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Platform.h"
#include "support/TestSupport.h"

namespace {

const BYTE kDword[] = {0x78, 0x56, 0x34, 0x12};  // REG_DWORD 0x12345678
const char16_t kText[] = u"Keyloom";               // REG_SZ with its terminator
const BYTE kBinary[] = {0x00, 0xFF, 0x10, 0x00, 0x7F};

const BYTE* Octets(const char16_t* text) { return reinterpret_cast<const BYTE*>(text); }

class RegistryTest : public SoftHomesTest {
 protected:
  static HKEY Create(HKEY parent, const char16_t* path) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, Plat().RegCreateKeyExW(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                    &key, nullptr));
    return key;
  }
  static HKEY Open(HKEY parent, const char16_t* path, REGSAM access = KEY_READ) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, Plat().RegOpenKeyExW(parent, path, 0, access, &key)) << Narrow(path);
    return key;
  }
  // The value's data after a size query; `type` receives its type.
  static Bytes Query(HKEY key, const char16_t* name, DWORD* type = nullptr) {
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, Plat().RegQueryValueExW(key, name, nullptr, type, nullptr, &size));
    Bytes data(size);
    EXPECT_EQ(ERROR_SUCCESS, size ? Plat().RegQueryValueExW(key, name, nullptr, type, data.data(), &size)
                                  : ERROR_SUCCESS);
    data.resize(size);
    return data;
  }
  static std::vector<std::string> SubKeys(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
      char16_t name[256];
      DWORD len = 256;
      const LSTATUS rc = Plat().RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
      if (rc != ERROR_SUCCESS) {
        EXPECT_EQ(ERROR_NO_MORE_ITEMS, rc);
        return names;
      }
      names.push_back(Narrow(name));
    }
  }
};

TEST_F(RegistryTest, ValuesRoundTripWithTheirTypesAndSizes) {
  const struct { const char16_t* name; DWORD type; const BYTE* data; DWORD size; } cases[] = {
      {u"Count", REG_DWORD, kDword, sizeof kDword},
      {u"Name", REG_SZ, Octets(kText), sizeof kText},
      {u"Blob", REG_BINARY, kBinary, sizeof kBinary},
      {u"", REG_SZ, Octets(kText), sizeof kText},  // default value
      {u"Empty", REG_BINARY, nullptr, 0},
  };
  HKEY key = Create(HKEY_CURRENT_USER, u"Software\\Keyloom\\Test");
  for (const auto& c : cases)
    ASSERT_EQ(ERROR_SUCCESS, Plat().RegSetValueExW(key, c.name, 0, c.type, c.data, c.size));
  ASSERT_EQ(ERROR_SUCCESS, Plat().RegCloseKey(key));
  key = Open(HKEY_CURRENT_USER, u"software\\KEYLOOM\\test");  // names ignore case
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.name));
    DWORD type = 0;
    EXPECT_EQ(Bytes(c.data, c.data + c.size), Query(key, c.name, &type));
    EXPECT_EQ(c.type, type);
  }
  HKEY missing = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Plat().RegOpenKeyExW(key, u"Nope", 0, KEY_READ, &missing));
  EXPECT_EQ(ERROR_SUCCESS, Plat().RegCloseKey(key));
}

// HKCR merges HKCU\Software\Classes over HKLM\Software\Classes.
TEST_F(RegistryTest, ClassesRootMergesUserOverMachine) {
  const char16_t machineText[] = u"machine", userText[] = u"user";
  const std::vector<std::string> before = SubKeys(HKEY_CLASSES_ROOT);  // none in a fresh home
  HKEY m = Create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Shared");
  ASSERT_EQ(ERROR_SUCCESS, Plat().RegSetValueExW(m, u"", 0, REG_SZ, Octets(machineText), sizeof machineText));
  ASSERT_EQ(ERROR_SUCCESS, Plat().RegSetValueExW(m, u"OnlyMachine", 0, REG_DWORD, kDword, 4));
  Plat().RegCloseKey(m);
  Plat().RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\MachineOnly"));
  HKEY u = Create(HKEY_CURRENT_USER, u"Software\\Classes\\shared");
  ASSERT_EQ(ERROR_SUCCESS, Plat().RegSetValueExW(u, u"", 0, REG_SZ, Octets(userText), sizeof userText));
  Plat().RegCloseKey(u);
  Plat().RegCloseKey(Create(HKEY_CURRENT_USER, u"Software\\Classes\\UserOnly"));

  std::vector<std::string> added = SubKeys(HKEY_CLASSES_ROOT);
  std::erase_if(added, [&](const std::string& n) { return std::count(before.begin(), before.end(), n); });
  const bool wine = WineDiffers("HKEY_CLASSES_ROOT shows the machine's classes only, not the user's");
  EXPECT_EQ((wine ? std::vector<std::string>{"MachineOnly", "Shared"}
                  : std::vector<std::string>{"MachineOnly", "shared", "UserOnly"}), added);
  HKEY c = Open(HKEY_CLASSES_ROOT, u"Shared");
  const std::u16string seen = wine ? machineText : userText;
  EXPECT_EQ(Bytes(Octets(seen.c_str()), Octets(seen.c_str()) + 2 * seen.size() + 2), Query(c, u""));
  EXPECT_EQ(4u, Query(c, u"OnlyMachine").size());
  Plat().RegCloseKey(c);
  // A new key below HKCR goes to the machine's side.
  Plat().RegCloseKey(Create(HKEY_CLASSES_ROOT, u"NewClass"));
  Plat().RegCloseKey(Open(HKEY_LOCAL_MACHINE, u"Software\\Classes\\NewClass"));
}

}  // namespace
