// The Windows part of the test support. The run's fresh prefix is the new
// user; each test gets a new temporary folder (TMP, TEMP) and leaves the
// registry as it found it: the keys it made below the keys that tests write
// are deleted when its homes go.
#include <windows.h>

#include <stdlib.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

// The keys whose new subkeys a test's homes remove, in both hives: what the
// tests write and, under Wine, the key containers.
const wchar_t* const kWatched[] = {
    L"Software",
    L"Software\\Classes",
    L"Software\\Microsoft\\SystemCertificates\\My\\Certificates",
    L"Software\\Microsoft\\SystemCertificates\\Root\\Certificates",
    L"Software\\Microsoft\\SystemCertificates\\CA\\Certificates",
    L"Software\\Wine\\Crypto\\RSA",  // Wine's key containers (Windows keeps files)
};
const HKEY kHives[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};

std::set<std::wstring> Subkeys(HKEY hive, const wchar_t* path) {
  std::set<std::wstring> names;
  HKEY key;
  if (RegOpenKeyExW(hive, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD size = 256;
    if (RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.insert(name);
  }
  RegCloseKey(key);
  return names;
}

std::string NewTempFolder() {
  char base[MAX_PATH];
  if (GetTempPathA(MAX_PATH, base) == 0) return "C:\\nonexistent";
  for (unsigned n = GetTickCount();; ++n) {
    const std::string folder = std::string(base) + "keyloom-test-" + std::to_string(n);
    if (CreateDirectoryA(folder.c_str(), nullptr)) {
      CreateDirectoryA((folder + "\\tmp").c_str(), nullptr);
      return folder;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return "C:\\nonexistent";
  }
}

}  // namespace

struct ScopedSoftHomes::Saved {
  ScopedEnv tmp, temp;
  std::vector<std::set<std::wstring>> keys;  // per hive, per watched key
};

ScopedSoftHomes::ScopedSoftHomes()
    : root_(NewTempFolder()), user_(root_), machine_(root_), temp_(root_ + "\\tmp") {
  saved_.reset(new Saved{{"TMP", temp_.c_str()}, {"TEMP", temp_.c_str()}, {}});
  for (HKEY hive : kHives) {
    for (const wchar_t* path : kWatched) saved_->keys.push_back(Subkeys(hive, path));
  }
}

ScopedSoftHomes::~ScopedSoftHomes() {
  size_t i = 0;
  for (HKEY hive : kHives) {
    for (const wchar_t* path : kWatched) {
      const std::set<std::wstring>& before = saved_->keys[i++];
      for (const std::wstring& name : Subkeys(hive, path)) {
        if (before.count(name)) continue;
        HKEY key;
        if (RegOpenKeyExW(hive, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) continue;
        RegDeleteTreeW(key, name.c_str());
        RegDeleteKeyW(key, name.c_str());
        RegCloseKey(key);
      }
    }
  }
  saved_.reset();
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

// The C runtime's _putenv_s also sets the process environment that the
// platform's calls (GetTempPathW) read.
ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* v = getenv(name)) had_ = true, saved_ = v;
  _putenv_s(name, value ? value : "");
}

ScopedEnv::~ScopedEnv() { _putenv_s(name_.c_str(), had_ ? saved_.c_str() : ""); }

// Wine's ntdll exports its version; Windows' does not.
bool UnderWine() {
  static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}
