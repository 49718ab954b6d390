#include "keyloom/RegCommand.h"

#include <cstdio>
#include <cstring>

#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "encoding/Unicode.h"
#include "keyloom/Failure.h"
#include "encoding/Json.h"

namespace {


HRESULT FromStatus(LSTATUS rc) {
  return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

bool SameAscii(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

bool SplitRoot(const std::string& key, HKEY* root, std::string* rest) {
  static const struct {
    const char *shortName, *longName;
    HKEY key;
  } kRoots[] = {{"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                {"HKU", "HKEY_USERS", HKEY_USERS}};
  const std::string head = key.substr(0, key.find('\\'));
  for (const auto& r : kRoots) {
    if (!SameAscii(head, r.shortName) && !SameAscii(head, r.longName)) continue;
    *root = r.key;
    *rest = head.size() < key.size() ? key.substr(head.size() + 1) : std::string();
    return true;
  }
  return false;
}

// The names of the key's subkeys; with `status`, the enumeration's
// failure other than its end goes there (else it just ends the list).
std::vector<std::u16string> SubKeys(HKEY key, HRESULT* status = nullptr) {
  std::vector<std::u16string> names;
  for (DWORD index = 0;; ++index) {
    char16_t name[256];
    DWORD length = 256;
    const LSTATUS rc =
        Plat().RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
      if (status != nullptr && rc != ERROR_NO_MORE_ITEMS) *status = FromStatus(rc);
      break;
    }
    names.emplace_back(name, length);
  }
  return names;
}

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return "REG_NONE";
  }
}

std::string DataText(DWORD type, const std::vector<BYTE>& data) {
  if ((type == REG_SZ || type == REG_EXPAND_SZ) && data.size() % 2 == 0) {
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), data.size());
    while (!text.empty() && text.back() == 0) text.pop_back();
    return JsonString(Utf16ToUtf8(text));
  }
  if (type == REG_DWORD && data.size() == 4)
    return std::to_string(data[0] | data[1] << 8 | data[2] << 16 | uint32_t{data[3]} << 24);
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (BYTE b : data) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 15]);
  }
  return JsonString(hex);
}

// Prints the key's line; with `recurse`, then each subkey's.
HRESULT PrintKey(HKEY key, const std::string& path, bool recurse) {
  std::string line = "{\"key\":" + JsonString(path) + ",\"values\":[";
  std::vector<char16_t> nameBuffer(16384);  // the longest value name the registry allows
  char16_t* name = nameBuffer.data();
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = 16384, type = 0, size = 0;
    LSTATUS rc = Plat().RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return FromStatus(rc);
    std::vector<BYTE> data(size);
    nameLength = 16384;
    rc = Plat().RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &size);
    if (rc != ERROR_SUCCESS) return FromStatus(rc);
    data.resize(size);
    if (index > 0) line += ",";
    line += "{\"name\":" + JsonString(Utf16ToUtf8(std::u16string(name, nameLength))) +
            ",\"type\":\"" + TypeName(type) + "\",\"data\":" + DataText(type, data) + "}";
  }
  line += "],\"subkeys\":[";
  HRESULT listed = S_OK;
  const std::vector<std::u16string> subKeys = SubKeys(key, &listed);
  if (FAILED(listed)) return listed;
  for (size_t i = 0; i < subKeys.size(); ++i) {
    if (i > 0) line.push_back(',');
    line.append(JsonString(Utf16ToUtf8(subKeys[i])));
  }
  std::printf("%s]}\n", line.c_str());
  if (!recurse) return S_OK;
  for (const std::u16string& name : subKeys) {
    RegKeyHandle sub;
    if (HRESULT hr = FromStatus(Plat().RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, &sub.value));
        FAILED(hr))
      return hr;
    if (HRESULT hr = PrintKey(sub.value, path + "\\" + Utf16ToUtf8(name), true); FAILED(hr)) return hr;
  }
  return S_OK;
}

int Query(const std::string& path, bool recurse) {
  HKEY root;
  std::string rest;
  if (!SplitRoot(path, &root, &rest)) return 2;
  RegKeyHandle key;
  const std::u16string sub = Utf8ToUtf16(rest);
  HRESULT hr = FromStatus(Plat().RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, &key.value));
  if (SUCCEEDED(hr)) hr = PrintKey(key.value, path, recurse);
  return FAILED(hr) ? ReportFailure("reg query " + path, hr) : 0;
}

}  // namespace

int RunRegCommand(const std::vector<std::string>& args) {
  if (args.size() < 2 || args.size() > 3 || args[0] != "query") return 2;
  bool recurse = false;
  if (args.size() == 3) {
    if (args[2] != "/s" && args[2] != "/S" && args[2] != "-s") return 2;
    recurse = true;
  }
  return Query(args[1], recurse);
}
