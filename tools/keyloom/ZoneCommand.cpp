#include "keyloom/ZoneCommand.h"

#include <cstdio>
#include <cstring>

#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "encoding/Unicode.h"
#include "keyloom/Failure.h"
#include "keyloom/ModuleLoader.h"
#include "encoding/Json.h"
#include "module/TrustSites.h"

namespace {

constexpr char16_t kZoneMap[] =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap\\Domains";
// The platform's site-to-zone policy list: value name the site, REG_SZ
// data its zone number.
constexpr char16_t kPolicyList[] =
    u"Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMapKey";

HRESULT FromStatus(LSTATUS rc) {
  return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

// Opens a key for reading; a key that does not exist yet is no failure
// (key.value stays null), any other refusal is.
HRESULT OpenIfThere(HKEY root, const char16_t* path, RegKeyHandle* key) {
  const LSTATUS rc = Plat().RegOpenKeyExW(root, path, 0, KEY_READ, &key->value);
  if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND) key->value = nullptr;
  return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND ? S_OK : FromStatus(rc);
}

void PrintSite(const std::string& site, unsigned zone, const char* source) {
  std::printf("{\"site\":%s,\"zone\":%u,\"source\":\"%s\"}\n", JsonString(site).c_str(), zone,
              source);
}

HRESULT PrintPolicy(HKEY list) {
  for (DWORD index = 0;; ++index) {
    char16_t name[512];
    char16_t data[16] = {};
    DWORD nameLength = 512, type = 0, size = sizeof data - sizeof data[0];
    const LSTATUS rc = Plat().RegEnumValueW(list, index, name, &nameLength, nullptr, &type,
                                            reinterpret_cast<BYTE*>(data), &size);
    if (rc == ERROR_NO_MORE_ITEMS) return S_OK;
    if (rc == ERROR_MORE_DATA) continue;  // not a zone number
    if (rc != ERROR_SUCCESS) return FromStatus(rc);
    if (type != REG_SZ || data[0] < u'0' || data[0] > u'4' || data[1] != 0) continue;
    PrintSite(Utf16ToUtf8(std::u16string(name, nameLength)), data[0] - u'0', "machine");
  }
}

// The mappings below Domains: each key names a host (a nested key the
// part before its parent's, as the platform nests them), each DWORD value
// a scheme and its zone.
HRESULT PrintMappings(HKEY key, const std::u16string& host) {
  for (DWORD index = 0;; ++index) {
    char16_t name[256];
    DWORD nameLength = 256, type = 0, zone = 0, size = sizeof zone;
    const LSTATUS rc = Plat().RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                            reinterpret_cast<BYTE*>(&zone), &size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) return FromStatus(rc);
    if (type != REG_DWORD || host.empty()) continue;
    PrintSite(Utf16ToUtf8(std::u16string(name, nameLength)) + "://" + Utf16ToUtf8(host), zone,
              "user");
  }
  for (DWORD index = 0;; ++index) {
    char16_t name[256];
    DWORD length = 256;
    const LSTATUS rc =
        Plat().RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return FromStatus(rc);
    const std::u16string sub(name, length);
    RegKeyHandle child;
    if (HRESULT hr = FromStatus(Plat().RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, &child.value));
        FAILED(hr))
      return hr;
    if (HRESULT hr = PrintMappings(child.value, host.empty() ? sub : sub + u"." + host); FAILED(hr))
      return hr;
  }
  return S_OK;
}

int ListZone() {
  HRESULT hr = Plat().CoInitialize(nullptr);
  const bool initialized = SUCCEEDED(hr);
  void* zones = nullptr;
  hr = Plat().CoCreateInstance(CLSID_InternetZoneManager, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IInternetZoneManager, &zones);
  ZONEATTRIBUTES a;
  std::memset(&a, 0, sizeof a);
  a.cbSize = sizeof a;
  if (SUCCEEDED(hr)) hr = Plat().GetZoneAttributes(zones, URLZONE_TRUSTED, &a);
  if (zones != nullptr) Plat().ComRelease(zones);
  if (initialized) Plat().CoUninitialize();
  if (FAILED(hr)) return ReportFailure("zone list", hr);
  std::printf("{\"zone\":2,\"name\":%s,\"flags\":\"0x%08x\",\"requireVerification\":%s}\n",
              JsonString(Utf16ToUtf8(U16(a.szDisplayName))).c_str(),
              static_cast<unsigned>(a.dwFlags),
              (a.dwFlags & ZAFLAGS_REQUIRE_VERIFICATION) ? "true" : "false");
  RegKeyHandle policy, domains;
  hr = OpenIfThere(HKEY_LOCAL_MACHINE, kPolicyList, &policy);
  if (SUCCEEDED(hr) && policy.value != nullptr) hr = PrintPolicy(policy.value);
  if (SUCCEEDED(hr)) hr = OpenIfThere(HKEY_CURRENT_USER, kZoneMap, &domains);
  if (SUCCEEDED(hr) && domains.value != nullptr) hr = PrintMappings(domains.value, u"");
  return FAILED(hr) ? ReportFailure("zone list", hr) : 0;
}

// The pattern as the zone manager takes it: scheme "://" host, nothing
// after the host. The manager checks the rest.
bool PatternShaped(const std::string& pattern) {
  const size_t sep = pattern.find("://");
  return sep != std::string::npos && sep > 0 && sep + 3 < pattern.size() &&
         pattern.find_first_of("/:?#@", sep + 3) == std::string::npos;
}

HRESULT SetPolicy(const std::u16string& pattern, bool add) {
  RegKeyHandle list;
  LSTATUS rc = Plat().RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPolicyList, 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &list.value,
                                      nullptr);
  if (rc != ERROR_SUCCESS) return FromStatus(rc);
  if (!add) return FromStatus(Plat().RegDeleteValueW(list.value, pattern.c_str()));
  static const char16_t kTrusted[] = u"2";
  return FromStatus(Plat().RegSetValueExW(list.value, pattern.c_str(), 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(kTrusted),
                                          sizeof kTrusted));
}

// Adding goes through AddTrustSite, as registration maps its sites (the
// verification flag cleared and set again around a plain http pattern);
// removing through the security manager.
HRESULT RemoveUserMapping(const std::u16string& pattern) {
  HRESULT hr = Plat().CoInitialize(nullptr);
  const bool initialized = SUCCEEDED(hr);
  void* security = nullptr;
  hr = Plat().CoCreateInstance(CLSID_InternetSecurityManager, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IInternetSecurityManager, &security);
  if (SUCCEEDED(hr)) hr = Plat().SetZoneMapping(security, URLZONE_TRUSTED, pattern.c_str(), SZM_DELETE);
  if (security != nullptr) Plat().ComRelease(security);
  if (initialized) Plat().CoUninitialize();
  return hr;
}

// The sites the module carries (string 106), read from the module the tool
// would load: for the user through AddTrustSites, as registration maps
// them; with --machine into the policy list, as `zone add --machine`.
int AddCarried(bool machine) {
  static const char kWhat[] = "zone add --carried";
  const std::string path = ModulePath(nullptr);
  HINSTANCE module = nullptr;
  std::string error;
  if (!LoadModuleResources(path, &module, &error)) {
    std::fprintf(stderr, "keyloom %s: %s\n", kWhat, error.c_str());
    return 1;
  }
  HRESULT hr = S_OK;
  if (!machine) {
    hr = AddTrustSites(module, kTrustedSiteList);
  } else {
    std::vector<std::u16string> patterns;
    hr = LoadTrustSites(module, kTrustedSiteList, &patterns);
    for (size_t i = 0; SUCCEEDED(hr) && i < patterns.size(); ++i) hr = SetPolicy(patterns[i], true);
  }
  UnloadModuleResources(module);
  return FAILED(hr) ? ReportFailure(kWhat, hr) : 0;
}

int ChangeZone(const std::vector<std::string>& args) {
  const bool add = args[0] == "add";
  if (add && args.size() >= 2 && args[1] == "--carried") {
    if (args.size() == 3 && args[2] != "--machine") return 2;
    return args.size() > 3 ? 2 : AddCarried(args.size() == 3);
  }
  if (args.size() < 2 || args.size() > 3 || (args.size() == 3 && args[2] != "--machine")) return 2;
  const bool machine = args.size() == 3;
  std::string pattern = args[1];
  for (char& c : pattern)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  const std::string what = "zone " + args[0] + " " + args[1];
  if (!PatternShaped(pattern)) return ReportFailure(what, E_INVALIDARG);
  const std::u16string wide = Utf8ToUtf16(pattern);
  const HRESULT hr = machine ? SetPolicy(wide, add) : add ? AddTrustSite(wide.c_str())
                                                          : RemoveUserMapping(wide);
  return FAILED(hr) ? ReportFailure(what, hr) : 0;
}

}  // namespace

int RunZoneCommand(const std::vector<std::string>& args) {
  if (args.size() == 1 && args[0] == "list") return ListZone();
  if (!args.empty() && (args[0] == "add" || args[0] == "remove")) return ChangeZone(args);
  return 2;
}
