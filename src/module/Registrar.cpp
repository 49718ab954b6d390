#include "module/Registrar.h"

#include "base/PlatformHandles.h"
#include "trace/Trace.h"

TRACE_COMPONENT("Registrar");

namespace {

HRESULT FromStatus(LSTATUS rc) {
  return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

// Deletes the tree of `name` below `parent`; a missing key is no failure.
HRESULT DeleteTree(HKEY parent, const std::u16string& name) {
  const LSTATUS rc = Plat().RegDeleteTreeW(parent, name.c_str());
  return rc == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(rc);
}

HRESULT SetValue(HKEY key, const RegScriptValue& v) {
  return FromStatus(Plat().RegSetValueExW(key, v.name.empty() ? nullptr : v.name.c_str(), 0,
                                          v.type, v.data.data(),
                                          static_cast<DWORD>(v.data.size())));
}

HRESULT RegisterKey(HKEY parent, const RegScriptKey& key) {
  if (key.mode == RegKeyMode::kDelete) return DeleteTree(parent, key.name);
  if (key.mode == RegKeyMode::kForceRemove)
    if (HRESULT hr = DeleteTree(parent, key.name); FAILED(hr)) return hr;
  RegKeyHandle k;
  HRESULT hr = FromStatus(Plat().RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr,
                                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                                 &k.value, nullptr));
  if (SUCCEEDED(hr) && key.hasDefault) hr = SetValue(k.value, key.defaultValue);
  for (size_t i = 0; SUCCEEDED(hr) && i < key.values.size(); ++i) hr = SetValue(k.value, key.values[i]);
  for (size_t i = 0; SUCCEEDED(hr) && i < key.subKeys.size(); ++i)
    hr = RegisterKey(k.value, key.subKeys[i]);
  return hr;
}

bool HasSubKeys(HKEY key) {
  char16_t name[256];
  DWORD length = 256;
  return Plat().RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) !=
         ERROR_NO_MORE_ITEMS;
}

HRESULT UnregisterKey(HKEY parent, const RegScriptKey& key) {
  if (key.mode == RegKeyMode::kDelete) return S_OK;
  if (key.mode == RegKeyMode::kForceRemove) return DeleteTree(parent, key.name);
  RegKeyHandle k;
  const LSTATUS rc = Plat().RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_ALL_ACCESS, &k.value);
  if (rc == ERROR_FILE_NOT_FOUND) return S_OK;
  if (rc != ERROR_SUCCESS) return FromStatus(rc);
  for (const RegScriptKey& sub : key.subKeys)
    if (HRESULT hr = UnregisterKey(k.value, sub); FAILED(hr)) return hr;
  if (key.mode == RegKeyMode::kNoRemove) {
    for (const RegScriptValue& v : key.values) {
      const LSTATUS d = Plat().RegDeleteValueW(k.value, v.name.c_str());
      if (d != ERROR_SUCCESS && d != ERROR_FILE_NOT_FOUND) return FromStatus(d);
    }
    return S_OK;
  }
  // Keys that something else added below stay, and so does this one.
  if (HasSubKeys(k.value)) return S_OK;
  return DeleteTree(parent, key.name);
}

}  // namespace

HRESULT RunRegScript(const std::vector<RegScriptRoot>& script, bool install, bool perUser) {
  for (const RegScriptRoot& root : script) {
    RegKeyHandle userClasses;
    HKEY base = root.root;
    if (perUser && root.root == HKEY_CLASSES_ROOT) {
      const LSTATUS rc = Plat().RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Classes", 0,
                                                nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                                nullptr, &userClasses.value, nullptr);
      if (rc != ERROR_SUCCESS) return FromStatus(rc);
      base = userClasses.value;
    }
    for (const RegScriptKey& key : root.keys) {
      const HRESULT hr = install ? RegisterKey(base, key) : UnregisterKey(base, key);
      if (FAILED(hr)) {
        TRACE_VALUE(key.name.c_str(), hr);
        return hr;
      }
    }
  }
  return S_OK;
}

HRESULT RunRegScriptText(std::u16string_view text, const std::vector<RegReplacement>& replacements,
                         bool install, bool perUser) {
  std::u16string expanded;
  HRESULT hr = ExpandRegScript(text, replacements, &expanded);
  if (FAILED(hr)) return hr;
  std::vector<RegScriptRoot> script;
  hr = ParseRegScript(expanded, &script);
  if (FAILED(hr)) return hr;
  return RunRegScript(script, install, perUser);
}
