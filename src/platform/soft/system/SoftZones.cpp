// The browser's URL security and zone managers, kept in the user's
// registry where the platform keeps them:
//   ...\Internet Settings\Zones\<zone>: DisplayName, Description, Icon,
//     MinLevel, RecommendedLevel, CurrentLevel, Flags
//   ...\Internet Settings\ZoneMap\Domains\<host>: one DWORD value per
//     scheme, the zone the pattern scheme://host maps to.
//   HKLM\Software\Policies\...\Internet Settings\ZoneMapKey: the machine's
//     site-to-zone policy list, one REG_SZ value per pattern (name) holding
//     its zone number; it decides before the user's mappings, as the
//     platform's policy does.
// A host "*.name" covers name itself and every host below it, whole labels
// only; ports never take part.
#include <cstring>
#include <initializer_list>
#include <string>

#include "encoding/Unicode.h"
#include "platform/soft/system/SoftComObject.h"
#include "platform/soft/SoftTable.h"

namespace {

constexpr char16_t kZones[] =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Zones\\";
constexpr char16_t kDomains[] =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap\\Domains";
constexpr char16_t kPolicyList[] =
    u"Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMapKey";

struct ZoneDefaults {
  const char16_t* name;
  const char16_t* description;
  const char16_t* icon;
  DWORD minLevel, recommended, current, flags;
};

// The attributes a fresh profile has.
const ZoneDefaults kDefaults[] = {
    {u"Computer", u"Your computer", u"explorer.exe#0100", 0, 0, 0, 0x21},
    {u"Local intranet",
     u"This zone contains all websites that are on your organization's intranet.",
     u"shell32.dll#0018", URLTEMPLATE_LOW, URLTEMPLATE_MEDLOW, URLTEMPLATE_MEDLOW, 0xDB},
    {u"Trusted sites",
     u"This zone contains websites that you trust not to damage your computer or your files.",
     u"inetcpl.cpl#00004480", URLTEMPLATE_LOW, URLTEMPLATE_MEDLOW, URLTEMPLATE_MEDLOW,
     ZAFLAGS_CUSTOM_EDIT | ZAFLAGS_ADD_SITES | ZAFLAGS_REQUIRE_VERIFICATION |
         ZAFLAGS_SUPPORTS_VERIFICATION},
    {u"Internet",
     u"This zone is for Internet websites, except those listed in trusted and restricted zones.",
     u"inetcpl.cpl#001313", URLTEMPLATE_MEDIUM, 0x11500, 0x11500, 0x1},
    {u"Restricted sites",
     u"This zone contains websites that could potentially damage your computer or your files.",
     u"inetcpl.cpl#00004481", 0x12000, 0x12000, 0x12000, 0x3},
};

struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h != nullptr) Plat().RegCloseKey(h);
  }
};

void DestroyManager(SoftComObject* self) { delete self; }

SoftComObject* NewManager() {
  auto* m = new SoftComObject;
  m->destroy = &DestroyManager;
  return m;
}

std::u16string Lower(std::u16string s) {
  for (char16_t& c : s) c = AsciiLower(c);
  return s;
}

bool SchemeChar(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' ||
         c == u'.';
}

bool HostChar(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' ||
         c == u'_' || c > 0x7F;
}

// scheme "://" host, where host may start with "*." and has no port, path
// or user part. Lower-cased on the way.
bool ParsePattern(const char16_t* pattern, std::u16string* scheme, std::u16string* host) {
  if (pattern == nullptr) return false;
  const std::u16string p = Lower(pattern);
  const size_t sep = p.find(u"://");
  if (sep == std::u16string::npos || sep == 0) return false;
  *scheme = p.substr(0, sep);
  *host = p.substr(sep + 3);
  if (*scheme != u"*")
    for (char16_t c : *scheme)
      if (!SchemeChar(c)) return false;
  std::u16string_view bare = *host;
  if (bare.starts_with(u"*.")) bare.remove_prefix(2);
  if (bare.empty() || bare.front() == u'.' || bare.back() == u'.') return false;
  for (char16_t c : bare)
    if (!HostChar(c)) return false;
  return true;
}

bool HostMatches(const std::u16string& pattern, const std::u16string& host) {
  if (!pattern.starts_with(u"*.")) return pattern == host;
  const std::u16string base = pattern.substr(2);
  return host == base ||
         (host.size() > base.size() + 1 && host.ends_with(base) &&
          host[host.size() - base.size() - 1] == u'.');
}

HRESULT ReadZoneFlags(DWORD zone, DWORD* flags);

HRESULT SetZoneMappingImpl(void* manager, DWORD zone, const char16_t* pattern, DWORD flags) {
  if (manager == nullptr) return E_POINTER;
  std::u16string scheme, host;
  if (!ParsePattern(pattern, &scheme, &host) || zone > URLZONE_UNTRUSTED)
    return E_INVALIDARG;
  const std::u16string path = std::u16string(kDomains) + u"\\" + host;
  if (flags == SZM_DELETE) {
    Key key;
    LSTATUS rc = Plat().RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &key.h);
    if (rc == ERROR_SUCCESS) rc = Plat().RegDeleteValueW(key.h, scheme.c_str());
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
  }
  if (flags != SZM_CREATE) return E_INVALIDARG;
  DWORD zoneFlags = 0;
  const HRESULT hr = ReadZoneFlags(zone, &zoneFlags);
  if (FAILED(hr)) return hr;
  // A zone that requires verification takes only TLS-secured patterns.
  if ((zoneFlags & ZAFLAGS_REQUIRE_VERIFICATION) && scheme != u"https") return E_ACCESSDENIED;
  Key key;
  LSTATUS rc = Plat().RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key.h,
                                      nullptr);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
  DWORD type = 0, existing = 0, size = sizeof existing;
  if (Plat().RegQueryValueExW(key.h, scheme.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(&existing), &size) == ERROR_SUCCESS)
    return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
  rc = Plat().RegSetValueExW(key.h, scheme.c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&zone), sizeof zone);
  return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

// scheme://[user@]host[:port][/...]: the lower-cased scheme and host.
bool ParseUrl(const char16_t* url, std::u16string* scheme, std::u16string* host) {
  if (url == nullptr) return false;
  const std::u16string u = Lower(url);
  const size_t sep = u.find(u"://");
  if (sep == std::u16string::npos || sep == 0) return false;
  *scheme = u.substr(0, sep);
  for (char16_t c : *scheme)
    if (!SchemeChar(c)) return false;
  std::u16string authority = u.substr(sep + 3, u.find_first_of(u"/?#\\", sep + 3) - (sep + 3));
  const size_t at = authority.rfind(u'@');
  if (at != std::u16string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority.front() == u'[') {
    const size_t close = authority.find(u']');
    if (close == std::u16string::npos) return false;
    *host = authority.substr(0, close + 1);
  } else {
    *host = authority.substr(0, authority.find(u':'));
  }
  return !host->empty();
}

size_t Specificity(const std::u16string& pattern) {
  return pattern.starts_with(u"*.") ? pattern.size() : 0x10000;
}

// The machine policy's zone for scheme and host: the most specific entry
// (a pattern as SetZoneMapping takes, or a bare host for every scheme)
// whose value is a zone number. False when no entry matches.
bool PolicyZone(const std::u16string& scheme, const std::u16string& host, DWORD* zone) {
  Key list;
  if (Plat().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyList, 0, KEY_READ, &list.h) != ERROR_SUCCESS)
    return false;
  size_t best = 0;
  for (DWORD index = 0;; ++index) {
    char16_t name[512];
    char16_t data[16] = {};
    DWORD nameLen = 512, type = 0, size = sizeof data - sizeof data[0];
    const LSTATUS rc = Plat().RegEnumValueW(list.h, index, name, &nameLen, nullptr, &type,
                                            reinterpret_cast<BYTE*>(data), &size);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) break;
    std::u16string entry(name, nameLen), entryScheme, entryHost;
    if (entry.find(u"://") == std::u16string::npos) entry = u"*://" + entry;
    if (type != REG_SZ || !ParsePattern(entry.c_str(), &entryScheme, &entryHost)) continue;
    if ((entryScheme != u"*" && entryScheme != scheme) || !HostMatches(entryHost, host)) continue;
    if (data[0] < u'0' || data[0] > u'4' || (data[1] != 0)) continue;
    if (Specificity(entryHost) <= best) continue;
    best = Specificity(entryHost);
    *zone = static_cast<DWORD>(data[0] - u'0');
  }
  return best != 0;
}

// The machine policy's zone when an entry of its list covers the URL;
// else the zone of the most specific mapping of the user for the URL's
// scheme and host: an exact host before a wildcard, a longer wildcard
// before a shorter one.
HRESULT MapUrlToZoneImpl(void* manager, const char16_t* url, DWORD* zone, DWORD) {
  if (manager == nullptr || zone == nullptr) return E_POINTER;
  *zone = URLZONE_INTERNET;
  std::u16string scheme, host;
  if (!ParseUrl(url, &scheme, &host)) return E_INVALIDARG;
  if (PolicyZone(scheme, host, zone)) return S_OK;
  Key domains;
  if (Plat().RegOpenKeyExW(HKEY_CURRENT_USER, kDomains, 0, KEY_READ, &domains.h) != ERROR_SUCCESS)
    return S_OK;
  size_t best = 0;  // specificity of the best match so far
  for (DWORD index = 0;; ++index) {
    char16_t name[256];
    DWORD nameLen = 256;
    if (Plat().RegEnumKeyExW(domains.h, index, name, &nameLen, nullptr, nullptr, nullptr,
                             nullptr) != ERROR_SUCCESS)
      break;
    const std::u16string pattern = Lower(name);
    if (!HostMatches(pattern, host)) continue;
    const size_t specificity = Specificity(pattern);
    if (specificity <= best) continue;
    Key key;
    if (Plat().RegOpenKeyExW(domains.h, name, 0, KEY_READ, &key.h) != ERROR_SUCCESS) continue;
    for (const std::u16string& valueName : {scheme, std::u16string(u"*")}) {
      DWORD type = 0, value = 0, size = sizeof value;
      if (Plat().RegQueryValueExW(key.h, valueName.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
          type == REG_DWORD) {
        *zone = value;
        best = specificity;
        break;
      }
    }
  }
  return S_OK;
}

std::u16string ZonePath(DWORD zone) { return kZones + Utf8ToUtf16(std::to_string(zone)); }

void CopyText(char16_t* to, size_t room, const std::u16string& text) {
  const size_t n = text.size() < room - 1 ? text.size() : room - 1;
  std::memcpy(to, text.data(), n * sizeof(char16_t));
  to[n] = 0;
}

void ReadText(HKEY key, const char16_t* name, char16_t* to, size_t room) {
  std::u16string buffer(room, u'\0');
  DWORD type = 0, size = static_cast<DWORD>(room * sizeof(char16_t));
  if (key != nullptr &&
      Plat().RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                              &size) == ERROR_SUCCESS &&
      type == REG_SZ)
    CopyText(to, room, buffer.substr(0, size / sizeof(char16_t)).c_str());
}

void ReadNumber(HKEY key, const char16_t* name, DWORD* to) {
  DWORD type = 0, value = 0, size = sizeof value;
  if (key != nullptr &&
      Plat().RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                              &size) == ERROR_SUCCESS &&
      type == REG_DWORD)
    *to = value;
}

// The zone's attributes: what the registry holds over the defaults.
HRESULT ReadAttributes(DWORD zone, ZONEATTRIBUTES* a) {
  if (zone > URLZONE_UNTRUSTED) return E_INVALIDARG;
  const ZoneDefaults& d = kDefaults[zone];
  std::memset(a, 0, sizeof *a);
  a->cbSize = sizeof *a;
  CopyText(a->szDisplayName, MAX_ZONE_PATH, d.name);
  CopyText(a->szDescription, MAX_ZONE_DESCRIPTION, d.description);
  CopyText(a->szIconPath, MAX_ZONE_PATH, d.icon);
  a->dwTemplateMinLevel = d.minLevel;
  a->dwTemplateRecommended = d.recommended;
  a->dwTemplateCurrentLevel = d.current;
  a->dwFlags = d.flags;
  Key key;
  const LSTATUS rc =
      Plat().RegOpenKeyExW(HKEY_CURRENT_USER, ZonePath(zone).c_str(), 0, KEY_READ, &key.h);
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
    return HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
  ReadText(key.h, u"DisplayName", a->szDisplayName, MAX_ZONE_PATH);
  ReadText(key.h, u"Description", a->szDescription, MAX_ZONE_DESCRIPTION);
  ReadText(key.h, u"Icon", a->szIconPath, MAX_ZONE_PATH);
  ReadNumber(key.h, u"MinLevel", &a->dwTemplateMinLevel);
  ReadNumber(key.h, u"RecommendedLevel", &a->dwTemplateRecommended);
  ReadNumber(key.h, u"CurrentLevel", &a->dwTemplateCurrentLevel);
  ReadNumber(key.h, u"Flags", &a->dwFlags);
  return S_OK;
}

HRESULT ReadZoneFlags(DWORD zone, DWORD* flags) {
  ZONEATTRIBUTES a;
  const HRESULT hr = ReadAttributes(zone, &a);
  *flags = a.dwFlags;
  return hr;
}

HRESULT GetZoneAttributesImpl(void* manager, DWORD zone, ZONEATTRIBUTES* attributes) {
  if (manager == nullptr || attributes == nullptr) return E_POINTER;
  return ReadAttributes(zone, attributes);
}

LSTATUS WriteText(HKEY key, const char16_t* name, const char16_t* text, size_t room) {
  size_t n = 0;
  while (n < room && text[n] != 0) ++n;
  const std::u16string value(text, n);
  return Plat().RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                               static_cast<DWORD>((n + 1) * sizeof(char16_t)));
}

LSTATUS WriteNumber(HKEY key, const char16_t* name, DWORD value) {
  return Plat().RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                               sizeof value);
}

HRESULT SetZoneAttributesImpl(void* manager, DWORD zone, const ZONEATTRIBUTES* a) {
  if (manager == nullptr || a == nullptr) return E_POINTER;
  if (zone > URLZONE_UNTRUSTED) return E_INVALIDARG;
  Key key;
  LSTATUS rc = Plat().RegCreateKeyExW(HKEY_CURRENT_USER, ZonePath(zone).c_str(), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key.h,
                                      nullptr);
  if (rc == ERROR_SUCCESS) rc = WriteText(key.h, u"DisplayName", a->szDisplayName, MAX_ZONE_PATH);
  if (rc == ERROR_SUCCESS)
    rc = WriteText(key.h, u"Description", a->szDescription, MAX_ZONE_DESCRIPTION);
  if (rc == ERROR_SUCCESS) rc = WriteText(key.h, u"Icon", a->szIconPath, MAX_ZONE_PATH);
  if (rc == ERROR_SUCCESS) rc = WriteNumber(key.h, u"MinLevel", a->dwTemplateMinLevel);
  if (rc == ERROR_SUCCESS) rc = WriteNumber(key.h, u"RecommendedLevel", a->dwTemplateRecommended);
  if (rc == ERROR_SUCCESS) rc = WriteNumber(key.h, u"CurrentLevel", a->dwTemplateCurrentLevel);
  if (rc == ERROR_SUCCESS) rc = WriteNumber(key.h, u"Flags", a->dwFlags);
  return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

}  // namespace

SoftComObject* SoftNewSecurityManager() { return NewManager(); }
SoftComObject* SoftNewZoneManager() { return NewManager(); }

void SoftFillZones(Platform& t) {
  t.SetZoneMapping = &SetZoneMappingImpl;
  t.GetZoneAttributes = &GetZoneAttributesImpl;
  t.SetZoneAttributes = &SetZoneAttributesImpl;
  t.MapUrlToZone = &MapUrlToZoneImpl;
}
