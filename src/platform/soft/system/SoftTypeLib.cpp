// Type libraries of the soft platform. A type library here is the IDL
// source of the module (its "TYPELIB" 1 resource, or a .tlb file holding
// IDL text), read for what registration needs: the library's GUID,
// version, locale and help string, and its automation interfaces (dual or
// oleautomation) with their names. Registration writes the keys the
// platform's own registration writes:
//   TypeLib\{libid}\<major>.<minor>       = help string (else the name)
//     <lcid hex>\win64                    = the type library's path
//     FLAGS = "0", HELPDIR                = the help folder
//   Interface\{iid}                       = the interface's name
//     ProxyStubClsid, ProxyStubClsid32    = the automation marshaler
//     TypeLib = {libid}, Version = "<major>.<minor>"
// machine-wide below HKEY_CLASSES_ROOT, per user below
// HKEY_CURRENT_USER\Software\Classes.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "encoding/Unicode.h"
#include "platform/soft/system/SoftComObject.h"
#include "platform/soft/SoftTable.h"

namespace {

constexpr HRESULT kTypeCantLoad = static_cast<HRESULT>(0x80029C4A);  // TYPE_E_CANTLOADLIBRARY
constexpr HRESULT kTypeRegistryAccess = static_cast<HRESULT>(0x8002801C);
constexpr char16_t kMarshaler[] = u"{00020424-0000-0000-C000-000000000046}";

struct Interface {
  std::u16string name, iid;
};

struct SoftTypeLib : SoftComObject {
  KlTypeLibAttr attr{};
  std::u16string name, helpString;
  std::vector<Interface> interfaces;
};

bool ParseGuid(const std::string& text, GUID* g) {
  unsigned d1, d2, d3, b[8];
  if (text.size() != 36 ||
      std::sscanf(text.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &b[0],
                  &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
    return false;
  g->Data1 = d1;
  g->Data2 = static_cast<WORD>(d2);
  g->Data3 = static_cast<WORD>(d3);
  for (int i = 0; i < 8; ++i) g->Data4[i] = static_cast<BYTE>(b[i]);
  return true;
}

std::u16string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return Utf8ToUtf16(text);
}

// The argument of attribute `name(...)` in an attribute block, without
// quotes; empty when absent.
std::string AttributeArgument(const std::string& block, const std::string& name) {
  size_t at = 0;
  while ((at = block.find(name, at)) != std::string::npos) {
    const bool startsWord = at == 0 || !(std::isalnum(static_cast<unsigned char>(block[at - 1])));
    size_t open = at + name.size();
    while (open < block.size() && block[open] == ' ') ++open;
    if (startsWord && open < block.size() && block[open] == '(') {
      const size_t close = block.find(')', open);
      if (close == std::string::npos) return {};
      std::string arg = block.substr(open + 1, close - open - 1);
      if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"') arg = arg.substr(1, arg.size() - 2);
      return arg;
    }
    at += name.size();
  }
  return {};
}

bool HasWord(const std::string& block, const std::string& word) {
  for (size_t at = block.find(word); at != std::string::npos; at = block.find(word, at + 1)) {
    const char before = at == 0 ? ' ' : block[at - 1];
    const char after = at + word.size() < block.size() ? block[at + word.size()] : ' ';
    if (!std::isalnum(static_cast<unsigned char>(before)) &&
        !std::isalnum(static_cast<unsigned char>(after)))
      return true;
  }
  return false;
}

// Reads the attribute blocks that introduce the library and the
// interfaces. False when the text declares no library with a GUID.
bool ParseIdl(const std::string& idl, SoftTypeLib* lib) {
  bool haveLibrary = false;
  for (size_t open = idl.find('['); open != std::string::npos; open = idl.find('[', open + 1)) {
    size_t close = open + 1;
    for (bool quoted = false; close < idl.size() && (quoted || idl[close] != ']'); ++close)
      if (idl[close] == '"') quoted = !quoted;
    if (close >= idl.size()) return false;
    const std::string block = idl.substr(open + 1, close - open - 1);
    std::istringstream rest(idl.substr(close + 1, 200));
    std::string kind, name;
    rest >> kind >> name;
    while (!name.empty() && !std::isalnum(static_cast<unsigned char>(name.back()))) name.pop_back();
    GUID guid{};
    if (!ParseGuid(AttributeArgument(block, "uuid"), &guid)) continue;
    if (kind == "library") {
      unsigned major = 0, minor = 0;
      std::sscanf(AttributeArgument(block, "version").c_str(), "%u.%u", &major, &minor);
      lib->attr.guid = guid;
      lib->attr.majorVersion = static_cast<WORD>(major);
      lib->attr.minorVersion = static_cast<WORD>(minor);
      lib->attr.lcid = static_cast<LCID>(std::strtoul(AttributeArgument(block, "lcid").c_str(), nullptr, 0));
      lib->attr.sysKind = 3;  // SYS_WIN64
      lib->name = Utf8ToUtf16(name);
      lib->helpString = Utf8ToUtf16(AttributeArgument(block, "helpstring"));
      haveLibrary = true;
    } else if ((kind == "interface" || kind == "dispinterface") &&
               (HasWord(block, "dual") || HasWord(block, "oleautomation") || kind == "dispinterface")) {
      lib->interfaces.push_back({Utf8ToUtf16(name), GuidText(guid)});
    }
  }
  return haveLibrary;
}

void DestroyTypeLib(SoftComObject* self) { delete static_cast<SoftTypeLib*>(self); }

HRESULT LoadTypeLibExImpl(const char16_t* file, DWORD, void** typeLib) {
  if (typeLib == nullptr) return E_POINTER;
  *typeLib = nullptr;
  if (file == nullptr) return E_INVALIDARG;
  std::string idl;
  const std::string path = Utf16ToUtf8(file);
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".tlb") == 0) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return kTypeCantLoad;
    idl.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } else {
    // A module file: the soft platform's one module carries its library as
    // "TYPELIB" 1, whatever path the module is known by.
    HRSRC r = Plat().FindResourceW(nullptr, MAKEINTRESOURCEW(1), u"TYPELIB");
    if (r == nullptr) return kTypeCantLoad;
    const auto* data = static_cast<const char*>(Plat().LockResource(Plat().LoadResource(nullptr, r)));
    idl.assign(data, Plat().SizeofResource(nullptr, r));
  }
  auto* lib = new SoftTypeLib;
  lib->destroy = &DestroyTypeLib;
  if (!ParseIdl(idl, lib)) {
    delete lib;
    return kTypeCantLoad;
  }
  *typeLib = static_cast<SoftComObject*>(lib);
  return S_OK;
}

SoftTypeLib* AsTypeLib(void* object) {
  return static_cast<SoftTypeLib*>(static_cast<SoftComObject*>(object));
}

HRESULT TypeLibAttributesImpl(void* typeLib, KlTypeLibAttr* attributes) {
  if (typeLib == nullptr || attributes == nullptr) return E_INVALIDARG;
  *attributes = AsTypeLib(typeLib)->attr;
  return S_OK;
}

struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h != nullptr) Plat().RegCloseKey(h);
  }
};

// The classes root of a registration: HKCR, or the user's classes.
LSTATUS OpenRoot(bool perUser, Key* root) {
  if (!perUser) {
    root->h = nullptr;
    return ERROR_SUCCESS;
  }
  return Plat().RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Classes", 0, nullptr,
                                REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &root->h,
                                nullptr);
}

HKEY RootOf(const Key& root) { return root.h != nullptr ? root.h : HKEY_CLASSES_ROOT; }

// Creates `path` below `parent` and sets its default value (and, when
// `valueName` is given, that value too) to text.
LSTATUS WriteKey(HKEY parent, const std::u16string& path, const std::u16string* text,
                 const char16_t* valueName = nullptr, const std::u16string* value = nullptr,
                 DWORD* disposition = nullptr) {
  Key key;
  LSTATUS rc = Plat().RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_ALL_ACCESS, nullptr, &key.h, disposition);
  auto set = [&](const char16_t* name, const std::u16string& s) {
    return Plat().RegSetValueExW(key.h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(s.c_str()),
                                 static_cast<DWORD>((s.size() + 1) * sizeof(char16_t)));
  };
  if (rc == ERROR_SUCCESS && text != nullptr) rc = set(nullptr, *text);
  if (rc == ERROR_SUCCESS && valueName != nullptr) rc = set(valueName, *value);
  return rc;
}

std::u16string VersionText(WORD major, WORD minor) {
  char text[16];
  std::snprintf(text, sizeof text, "%x.%x", major, minor);
  return Utf8ToUtf16(text);
}

std::u16string LcidKey(LCID lcid) {
  char text[24];
  std::snprintf(text, sizeof text, "%x\\win64", static_cast<unsigned>(lcid));
  return Utf8ToUtf16(text);
}

HRESULT Register(bool perUser, void* typeLib, const char16_t* fullPath, const char16_t* helpDir) {
  if (typeLib == nullptr || fullPath == nullptr) return E_INVALIDARG;
  const SoftTypeLib& lib = *AsTypeLib(typeLib);
  Key root;
  if (OpenRoot(perUser, &root) != ERROR_SUCCESS) return E_FAIL;
  const std::u16string libId = GuidText(lib.attr.guid);
  const std::u16string version = VersionText(lib.attr.majorVersion, lib.attr.minorVersion);
  const std::u16string base = u"TypeLib\\" + libId + u"\\" + version;
  const std::u16string title = lib.helpString.empty() ? lib.name : lib.helpString;
  const std::u16string path = fullPath, flags = u"0";
  if (WriteKey(RootOf(root), base, &title) != ERROR_SUCCESS ||
      WriteKey(RootOf(root), base + u"\\" + LcidKey(lib.attr.lcid), &path) != ERROR_SUCCESS ||
      WriteKey(RootOf(root), base + u"\\FLAGS", &flags) != ERROR_SUCCESS)
    return E_FAIL;
  std::u16string help = helpDir ? helpDir : u"";
  if (helpDir == nullptr) help = path.substr(0, path.find_last_of(u"\\/"));
  if (WriteKey(RootOf(root), base + u"\\HELPDIR", &help) != ERROR_SUCCESS) return E_FAIL;
  for (const Interface& i : lib.interfaces) {
    const std::u16string key = u"Interface\\" + i.iid;
    const std::u16string marshaler = kMarshaler;
    if (WriteKey(RootOf(root), key, &i.name) != ERROR_SUCCESS ||
        WriteKey(RootOf(root), key + u"\\ProxyStubClsid", &marshaler) != ERROR_SUCCESS ||
        WriteKey(RootOf(root), key + u"\\ProxyStubClsid32", &marshaler) != ERROR_SUCCESS ||
        WriteKey(RootOf(root), key + u"\\TypeLib", &libId, u"Version", &version) != ERROR_SUCCESS)
      return E_FAIL;
  }
  return S_OK;
}

HRESULT RegisterTypeLibImpl(void* typeLib, const char16_t* fullPath, const char16_t* helpDir) {
  return Register(false, typeLib, fullPath, helpDir);
}
HRESULT RegisterTypeLibForUserImpl(void* typeLib, const char16_t* fullPath,
                                   const char16_t* helpDir) {
  return Register(true, typeLib, fullPath, helpDir);
}

bool HasSubKeys(HKEY parent, const std::u16string& path) {
  Key key;
  if (Plat().RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key.h) != ERROR_SUCCESS) return false;
  char16_t name[256];
  DWORD length = 256;
  return Plat().RegEnumKeyExW(key.h, 0, name, &length, nullptr, nullptr, nullptr, nullptr) !=
         ERROR_NO_MORE_ITEMS;
}

// Deletes `path` when it has no subkeys left (as the platform's key
// deletion does).
void DeleteIfLeaf(HKEY parent, const std::u16string& path) {
  if (!HasSubKeys(parent, path)) Plat().RegDeleteTreeW(parent, path.c_str());
}

std::u16string ReadDefault(HKEY parent, const std::u16string& path, const char16_t* name = nullptr) {
  Key key;
  if (Plat().RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key.h) != ERROR_SUCCESS) return {};
  DWORD type = 0, size = 0;
  if (Plat().RegQueryValueExW(key.h, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return {};
  std::u16string text(size / sizeof(char16_t) + 1, u'\0');
  if (Plat().RegQueryValueExW(key.h, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                              &size) != ERROR_SUCCESS)
    return {};
  text.resize(size / sizeof(char16_t));
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

// Removes the library's path key, the interfaces registered with this
// library and version, and the library's keys once nothing else is left.
HRESULT Unregister(bool perUser, REFGUID libGuid, WORD major, WORD minor, LCID lcid, DWORD sysKind) {
  if (sysKind > 3) return E_INVALIDARG;
  Key root;
  if (OpenRoot(perUser, &root) != ERROR_SUCCESS) return E_FAIL;
  const HKEY r = RootOf(root);
  const std::u16string libId = GuidText(libGuid), version = VersionText(major, minor);
  const std::u16string base = u"TypeLib\\" + libId + u"\\" + version;
  const std::u16string pathKey = base + u"\\" + LcidKey(lcid);
  if (ReadDefault(r, pathKey).empty()) return kTypeRegistryAccess;
  Key interfaces;
  std::vector<std::u16string> owned;
  if (Plat().RegOpenKeyExW(r, u"Interface", 0, KEY_READ, &interfaces.h) == ERROR_SUCCESS) {
    for (DWORD index = 0;; ++index) {
      char16_t name[256];
      DWORD length = 256;
      if (Plat().RegEnumKeyExW(interfaces.h, index, name, &length, nullptr, nullptr, nullptr,
                               nullptr) != ERROR_SUCCESS)
        break;
      const std::u16string key = u"Interface\\" + std::u16string(name) + u"\\TypeLib";
      if (ReadDefault(r, key) == libId && ReadDefault(r, key, u"Version") == version)
        owned.push_back(u"Interface\\" + std::u16string(name));
    }
  }
  for (const std::u16string& key : owned) {
    for (const char16_t* sub : {u"\\ProxyStubClsid", u"\\ProxyStubClsid32", u"\\TypeLib"})
      Plat().RegDeleteTreeW(r, (key + sub).c_str());
    DeleteIfLeaf(r, key);
  }
  Plat().RegDeleteTreeW(r, pathKey.c_str());
  DeleteIfLeaf(r, pathKey.substr(0, pathKey.rfind(u'\\')));
  Key versionKey;
  bool others = false;
  if (Plat().RegOpenKeyExW(r, base.c_str(), 0, KEY_READ, &versionKey.h) == ERROR_SUCCESS) {
    for (DWORD index = 0;; ++index) {
      char16_t name[256];
      DWORD length = 256;
      if (Plat().RegEnumKeyExW(versionKey.h, index, name, &length, nullptr, nullptr, nullptr,
                               nullptr) != ERROR_SUCCESS)
        break;
      const std::u16string n = name;
      if (n != u"FLAGS" && n != u"HELPDIR") others = true;
    }
  }
  if (!others) {
    Plat().RegDeleteTreeW(r, base.c_str());
    DeleteIfLeaf(r, u"TypeLib\\" + libId);
  }
  return S_OK;
}

HRESULT UnRegisterTypeLibImpl(REFGUID libId, WORD major, WORD minor, LCID lcid, DWORD sysKind) {
  return Unregister(false, libId, major, minor, lcid, sysKind);
}
HRESULT UnRegisterTypeLibForUserImpl(REFGUID libId, WORD major, WORD minor, LCID lcid,
                                     DWORD sysKind) {
  return Unregister(true, libId, major, minor, lcid, sysKind);
}

}  // namespace

void SoftFillTypeLibs(Platform& t) {
  t.LoadTypeLibEx = &LoadTypeLibExImpl;
  t.TypeLibAttributes = &TypeLibAttributesImpl;
  t.RegisterTypeLib = &RegisterTypeLibImpl;
  t.RegisterTypeLibForUser = &RegisterTypeLibForUserImpl;
  t.UnRegisterTypeLib = &UnRegisterTypeLibImpl;
  t.UnRegisterTypeLibForUser = &UnRegisterTypeLibForUserImpl;
}
