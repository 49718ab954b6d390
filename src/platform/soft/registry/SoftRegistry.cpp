// The registry entries of the soft platform.
//
// HKEY_CURRENT_USER lives in the user database, HKEY_LOCAL_MACHINE in the
// machine database, and HKEY_CLASSES_ROOT is the merged view of
// HKLM\Software\Classes under HKCU\Software\Classes: a key or value of the
// user's side wins, writes go to the user's side when the key exists there
// and to the machine's otherwise, enumeration lists both. An opened key is
// a process-local handle that remembers its path, so a key deleted through
// another handle answers ERROR_KEY_DELETED.
#include <memory>
#include <mutex>
#include <set>

#include "encoding/Unicode.h"
#include "platform/soft/registry/SoftDatabase.h"
#include "platform/soft/registry/SoftRegistryStore.h"
#include "platform/soft/SoftTable.h"

struct HKEY__ {
  int hive;
  RegPath path;
  REGSAM access;
  // The subkeys listed when an enumeration started at index 0; later
  // indices read this snapshot, so walking n subkeys lists them once.
  std::shared_ptr<const std::vector<RegSubKey>> subKeys;
};

namespace {

enum Hive { kUserHive, kMachineHive, kClassesHive };

std::mutex g_handlesLock;
std::set<HKEY>& Handles() {
  static auto* set = new std::set<HKEY>();
  return *set;
}

// The hive, path and rights of a key handle (predefined or opened).
bool View(HKEY key, HKEY__* view) {
  if (key == HKEY_CURRENT_USER) *view = {kUserHive, {}, KEY_ALL_ACCESS, nullptr};
  else if (key == HKEY_LOCAL_MACHINE) *view = {kMachineHive, {}, KEY_ALL_ACCESS, nullptr};
  else if (key == HKEY_CLASSES_ROOT) *view = {kClassesHive, {}, KEY_ALL_ACCESS, nullptr};
  else {
    std::lock_guard<std::mutex> hold(g_handlesLock);
    if (Handles().count(key) == 0) return false;
    *view = *key;
  }
  return true;
}

HKEY NewHandle(int hive, RegPath path, REGSAM access) {
  HKEY key = new HKEY__{hive, std::move(path), access, nullptr};
  std::lock_guard<std::mutex> hold(g_handlesLock);
  Handles().insert(key);
  return key;
}

// A place in one database: the scope and the path below its root.
struct Place {
  SoftScope scope;
  RegPath path;
};

RegPath Join(const RegPath& a, const RegPath& b) {
  RegPath r = a;
  r.insert(r.end(), b.begin(), b.end());
  return r;
}

Place UserClasses(const RegPath& p) { return {SoftScope::kUser, Join({"Software", "Classes"}, p)}; }
Place MachineClasses(const RegPath& p) {
  return {SoftScope::kMachine, Join({"Software", "Classes"}, p)};
}

// ERROR_SUCCESS when the key of `place` exists, ERROR_FILE_NOT_FOUND when
// it does not, else the reason the home could not be read: a refused or
// damaged home is never an absent key.
DWORD Find(const Place& place) {
  return SoftRead(place.scope, [&](sqlite3* db) {
    int64_t id;
    return RegFindKey(db, place.path, &id);
  });
}

// Where reads and writes of a view's key go. For the merged classes view
// the user's side when the key exists there, else the machine's. Fails only
// when the user's side cannot be read.
DWORD Resolve(int hive, const RegPath& path, Place* place) {
  if (hive == kUserHive) return *place = {SoftScope::kUser, path}, ERROR_SUCCESS;
  if (hive == kMachineHive) return *place = {SoftScope::kMachine, path}, ERROR_SUCCESS;
  const Place user = UserClasses(path);
  const DWORD e = Find(user);
  if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND) return e;
  *place = e == ERROR_SUCCESS ? user : MachineClasses(path);
  return ERROR_SUCCESS;
}

// Runs `body` on the key of `place` in a read transaction;
// ERROR_KEY_DELETED when the key is gone.
template <typename F>
DWORD ReadKey(const Place& place, F body) {
  return SoftRead(place.scope, [&](sqlite3* db) -> DWORD {
    int64_t id;
    const DWORD e = RegFindKey(db, place.path, &id);
    if (e != ERROR_SUCCESS) return e == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : e;
    return body(db, id);
  });
}

template <typename F>
DWORD WriteKey(int hive, const RegPath& path, F body) {
  Place place;
  if (DWORD e = Resolve(hive, path, &place)) return e;
  return SoftWrite(place.scope, [&](sqlite3* db) -> DWORD {
    int64_t id;
    const DWORD e = RegFindKey(db, place.path, &id);
    if (e != ERROR_SUCCESS) return e == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : e;
    return body(db, id);
  });
}

std::string ValueName(const char16_t* name) { return name ? Utf16ToUtf8(name) : std::string(); }

LSTATUS RegOpenKeyExImpl(HKEY key, const char16_t* subKey, DWORD, REGSAM access, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  HKEY__ view;
  if (!View(key, &view)) return ERROR_INVALID_HANDLE;
  const RegPath path = Join(view.path, RegSplitPath(subKey));
  DWORD e = ERROR_SUCCESS;
  if (view.hive == kClassesHive) {
    e = Find(UserClasses(path));
    if (e == ERROR_FILE_NOT_FOUND) e = Find(MachineClasses(path));
  } else {
    Place place;
    e = Resolve(view.hive, path, &place);
    if (e == ERROR_SUCCESS) e = Find(place);
  }
  if (e != ERROR_SUCCESS) return e;
  *result = NewHandle(view.hive, path, access);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExImpl(HKEY key, const char16_t* subKey, DWORD, char16_t*, DWORD, REGSAM access,
                           void*, HKEY* result, DWORD* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  HKEY__ view;
  if (!View(key, &view)) return ERROR_INVALID_HANDLE;
  if (subKey != nullptr && subKey[0] == u'\\') return ERROR_BAD_PATHNAME;
  const RegPath path = Join(view.path, RegSplitPath(subKey));
  Place place;
  if (DWORD e = Resolve(view.hive, path, &place)) return e;
  DWORD found = Find(place);
  if (found != ERROR_SUCCESS && found != ERROR_FILE_NOT_FOUND) return found;
  if (view.hive == kClassesHive && place.scope == SoftScope::kMachine && found != ERROR_SUCCESS &&
      !view.path.empty()) {
    const DWORD parent = Find(UserClasses(view.path));
    if (parent != ERROR_SUCCESS && parent != ERROR_FILE_NOT_FOUND) return parent;
    if (parent == ERROR_SUCCESS) place = UserClasses(path);  // a new key below a key of the user's side
  }
  if (found != ERROR_SUCCESS && (view.access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
  bool created = false;
  const DWORD e = SoftWrite(place.scope, [&](sqlite3* db) {
    int64_t id;
    return RegCreatePath(db, place.path, &id, &created);
  });
  if (e != ERROR_SUCCESS) return e;
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = NewHandle(view.hive, path, access);
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExImpl(HKEY key, const char16_t* valueName, DWORD, DWORD type, const BYTE* data,
                          DWORD dataLen) {
  HKEY__ view;
  if (!View(key, &view)) return ERROR_INVALID_HANDLE;
  if ((view.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (data == nullptr && dataLen != 0) return ERROR_NOACCESS;
  const std::string name = ValueName(valueName);
  return WriteKey(view.hive, view.path, [&](sqlite3* db, int64_t id) {
    return RegPutValue(db, id, name, type, data, dataLen);
  });
}

LSTATUS RegQueryValueExImpl(HKEY key, const char16_t* valueName, DWORD*, DWORD* type, BYTE* data,
                            DWORD* dataLen) {
  HKEY__ view;
  if (!View(key, &view)) return ERROR_INVALID_HANDLE;
  if ((view.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (data != nullptr && dataLen == nullptr) return ERROR_INVALID_PARAMETER;
  const std::string name = ValueName(valueName);
  RegValue value;
  auto get = [&](const Place& place) {
    return ReadKey(place, [&](sqlite3* db, int64_t id) { return RegGetValue(db, id, name, &value); });
  };
  Place place;
  DWORD e = Resolve(view.hive, view.path, &place);
  if (e == ERROR_SUCCESS) e = get(place);
  // In the merged view a value the user's key lacks comes from the machine's.
  if (e == ERROR_FILE_NOT_FOUND && view.hive == kClassesHive) e = get(MachineClasses(view.path));
  if (e != ERROR_SUCCESS) return e;
  if (type) *type = value.type;
  const DWORD size = static_cast<DWORD>(value.data.size());
  if (dataLen == nullptr) return ERROR_SUCCESS;
  const DWORD room = *dataLen;
  *dataLen = size;
  if (data == nullptr) return ERROR_SUCCESS;
  if (room < size) return ERROR_MORE_DATA;
  std::copy(value.data.begin(), value.data.end(), data);
  return ERROR_SUCCESS;
}

// The subkeys of a view's key; the merged view lists both sides once.
DWORD ListSubKeys(const HKEY__& view, std::vector<RegSubKey>* keys) {
  auto list = [](const Place& place, std::vector<RegSubKey>* out) {
    const DWORD e =
        ReadKey(place, [&](sqlite3* db, int64_t id) { return RegListSubKeys(db, id, out); });
    return e == ERROR_KEY_DELETED ? ERROR_SUCCESS : e;
  };
  if (view.hive != kClassesHive) {
    Place place;
    if (DWORD e = Resolve(view.hive, view.path, &place)) return e;
    const DWORD found = Find(place);
    if (found != ERROR_SUCCESS) return found == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : found;
    return list(place, keys);
  }
  std::vector<RegSubKey> user, machine;
  if (DWORD e = list(UserClasses(view.path), &user)) return e;
  if (DWORD e = list(MachineClasses(view.path), &machine)) return e;
  keys->clear();
  size_t i = 0, j = 0;
  while (i < user.size() || j < machine.size()) {
    const int c = i == user.size()      ? 1
                  : j == machine.size() ? -1
                                        : RegCompareNames(user[i].name, machine[j].name);
    if (c <= 0) keys->push_back(user[i++]);
    else keys->push_back(machine[j++]);
    if (c == 0) ++j;
  }
  return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExImpl(HKEY key, DWORD index, char16_t* name, DWORD* nameLen, DWORD*, char16_t*,
                         DWORD* classLen, FILETIME* lastWrite) {
  HKEY__ view;
  if (!View(key, &view)) return ERROR_INVALID_HANDLE;
  if ((view.access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
  if (name == nullptr || nameLen == nullptr) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<const std::vector<RegSubKey>> listing = index > 0 ? view.subKeys : nullptr;
  if (!listing) {
    auto fresh = std::make_shared<std::vector<RegSubKey>>();
    if (DWORD e = ListSubKeys(view, fresh.get())) return e;
    listing = fresh;
    std::lock_guard<std::mutex> hold(g_handlesLock);
    if (Handles().count(key)) key->subKeys = listing;
  }
  const std::vector<RegSubKey>& keys = *listing;
  if (index >= keys.size()) return ERROR_NO_MORE_ITEMS;
  const std::u16string text = Utf8ToUtf16(keys[index].name);
  if (*nameLen <= text.size()) return ERROR_MORE_DATA;
  std::copy(text.begin(), text.end(), name);
  name[text.size()] = 0;
  *nameLen = static_cast<DWORD>(text.size());
  if (classLen) *classLen = 0;
  if (lastWrite) {
    lastWrite->dwLowDateTime = static_cast<DWORD>(keys[index].written);
    lastWrite->dwHighDateTime = static_cast<DWORD>(keys[index].written >> 32);
  }
  return ERROR_SUCCESS;
}

// The merged view lists the user's values and the machine's that the user's
// key lacks, by name.
DWORD ListValues(const HKEY__& view, std::vector<std::pair<std::string, RegValue>>* values) {
  auto list = [](const Place& place, std::vector<std::pair<std::string, RegValue>>* out) {
    return ReadKey(place, [&](sqlite3* db, int64_t id) { return RegListValues(db, id, out); });
  };
  if (view.hive != kClassesHive) {
    Place place;
    if (DWORD e = Resolve(view.hive, view.path, &place)) return e;
    return list(place, values);
  }
  std::vector<std::pair<std::string, RegValue>> user, machine;
  DWORD e = list(UserClasses(view.path), &user);
  if (e != ERROR_SUCCESS && e != ERROR_KEY_DELETED) return e;
  const DWORD m = list(MachineClasses(view.path), &machine);
  if (m != ERROR_SUCCESS && m != ERROR_KEY_DELETED) return m;
  if (e == ERROR_KEY_DELETED && m == ERROR_KEY_DELETED) return ERROR_KEY_DELETED;
  values->clear();
  size_t i = 0, j = 0;
  while (i < user.size() || j < machine.size()) {
    const int c = i == user.size()      ? 1
                  : j == machine.size() ? -1
                                        : RegCompareNames(user[i].first, machine[j].first);
    if (c <= 0) values->push_back(user[i++]);
    else values->push_back(machine[j++]);
    if (c == 0) ++j;
  }
  return ERROR_SUCCESS;
}

LSTATUS RegEnumValueImpl(HKEY key, DWORD index, char16_t* name, DWORD* nameLen, DWORD*,
                         DWORD* type, BYTE* data, DWORD* dataLen) {
  HKEY__ view;
  if (!View(key, &view)) return ERROR_INVALID_HANDLE;
  if ((view.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (name == nullptr || nameLen == nullptr || (data != nullptr && dataLen == nullptr))
    return ERROR_INVALID_PARAMETER;
  std::vector<std::pair<std::string, RegValue>> values;
  if (DWORD e = ListValues(view, &values)) return e;
  if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
  const std::u16string text = Utf8ToUtf16(values[index].first);
  const RegValue& value = values[index].second;
  if (*nameLen <= text.size()) return ERROR_MORE_DATA;
  std::copy(text.begin(), text.end(), name);
  name[text.size()] = 0;
  *nameLen = static_cast<DWORD>(text.size());
  if (type) *type = value.type;
  if (dataLen == nullptr) return ERROR_SUCCESS;
  const DWORD room = *dataLen;
  *dataLen = static_cast<DWORD>(value.data.size());
  if (data == nullptr) return ERROR_SUCCESS;
  if (room < value.data.size()) return ERROR_MORE_DATA;
  std::copy(value.data.begin(), value.data.end(), data);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueImpl(HKEY key, const char16_t* valueName) {
  HKEY__ view;
  if (!View(key, &view)) return ERROR_INVALID_HANDLE;
  if ((view.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  const std::string name = ValueName(valueName);
  return WriteKey(view.hive, view.path,
                  [&](sqlite3* db, int64_t id) { return RegRemoveValue(db, id, name); });
}

// Deletes the tree at `path` of one place; `self` also removes the key.
DWORD DeleteTree(const Place& place, bool self) {
  return SoftWrite(place.scope, [&](sqlite3* db) -> DWORD {
    int64_t id;
    if (DWORD e = RegFindKey(db, place.path, &id)) return e;
    return RegRemoveTree(db, id, self);
  });
}

LSTATUS RegDeleteTreeImpl(HKEY key, const char16_t* subKey) {
  HKEY__ view;
  if (!View(key, &view)) return ERROR_INVALID_HANDLE;
  const RegPath sub = RegSplitPath(subKey);
  const RegPath path = Join(view.path, sub);
  const bool self = !sub.empty();
  if (view.hive != kClassesHive) {
    Place place;
    if (DWORD e = Resolve(view.hive, path, &place)) return e;
    const DWORD e = DeleteTree(place, self);
    return (e == ERROR_FILE_NOT_FOUND && !self) ? ERROR_KEY_DELETED : e;
  }
  // The merged view: remove the tree from each side that has it.
  DWORD result = self ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  for (const Place& place : {UserClasses(path), MachineClasses(path)}) {
    const DWORD found = Find(place);
    if (found == ERROR_FILE_NOT_FOUND) continue;
    if (found != ERROR_SUCCESS) return found;
    if (DWORD e = DeleteTree(place, self)) return e;
    result = ERROR_SUCCESS;
  }
  return result;
}

LSTATUS RegCloseKeyImpl(HKEY key) {
  if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT)
    return ERROR_SUCCESS;
  {
    std::lock_guard<std::mutex> hold(g_handlesLock);
    if (Handles().erase(key) == 0) return ERROR_INVALID_HANDLE;
  }
  delete key;
  return ERROR_SUCCESS;
}

}  // namespace

void SoftFillRegistry(Platform& t) {
  t.RegOpenKeyExW = &RegOpenKeyExImpl;
  t.RegCreateKeyExW = &RegCreateKeyExImpl;
  t.RegSetValueExW = &RegSetValueExImpl;
  t.RegQueryValueExW = &RegQueryValueExImpl;
  t.RegEnumKeyExW = &RegEnumKeyExImpl;
  t.RegEnumValueW = &RegEnumValueImpl;
  t.RegDeleteValueW = &RegDeleteValueImpl;
  t.RegDeleteTreeW = &RegDeleteTreeImpl;
  t.RegCloseKey = &RegCloseKeyImpl;
  t.BeginCall = &SoftBeginCall;
  t.EndCall = &SoftEndCall;
}
