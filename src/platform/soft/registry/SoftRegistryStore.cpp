// The registry tree of one database.
#include "platform/soft/registry/SoftRegistryStore.h"

#include <time.h>

#include <cctype>

#include "base/FileTime.h"
#include "encoding/Unicode.h"
#include "platform/soft/registry/SoftDatabase.h"

namespace {

constexpr int64_t kRootId = 1;

// Now as FILETIME ticks (100 ns since 1601).
int64_t NowTicks() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return FileTimeTicksOfUnixTime(ts.tv_sec, ts.tv_nsec);
}

DWORD Done(int rc) { return rc == SQLITE_DONE ? ERROR_SUCCESS : SoftSqlError(rc); }

DWORD Touch(sqlite3* db, int64_t id) {
  SoftStmt s(db, "UPDATE reg_keys SET written=?1 WHERE id=?2");
  return Done(s.Bind(1, NowTicks()).Bind(2, id).Step());
}

}  // namespace

RegPath RegSplitPath(const char16_t* subKey) {
  RegPath path;
  if (subKey == nullptr) return path;
  const std::u16string_view text(subKey);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u'\\', start);
    if (end == std::u16string_view::npos) end = text.size();
    if (end > start) path.push_back(Utf16ToUtf8(text.substr(start, end - start)));
    start = end + 1;
  }
  return path;
}

DWORD RegFindKey(sqlite3* db, const RegPath& path, int64_t* id) {
  int64_t current = kRootId;
  if (db != nullptr) {
    SoftStmt s(db, "SELECT id FROM reg_keys WHERE parent=?1 AND name=?2");
    for (const std::string& name : path) {
      s.Reset();
      const int rc = s.Bind(1, current).Bind(2, name).Step();
      if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
      if (rc != SQLITE_ROW) return SoftSqlError(rc);
      current = s.Int(0);
    }
  } else if (!path.empty()) {
    return ERROR_FILE_NOT_FOUND;
  }
  *id = current;
  return ERROR_SUCCESS;
}

DWORD RegCreatePath(sqlite3* db, const RegPath& path, int64_t* id, bool* created) {
  int64_t current = kRootId;
  *created = false;
  SoftStmt find(db, "SELECT id FROM reg_keys WHERE parent=?1 AND name=?2");
  SoftStmt add(db, "INSERT INTO reg_keys(parent, name, written) VALUES(?1, ?2, ?3)");
  for (const std::string& name : path) {
    find.Reset();
    const int rc = find.Bind(1, current).Bind(2, name).Step();
    if (rc == SQLITE_ROW) {
      current = find.Int(0);
      *created = false;
      continue;
    }
    if (rc != SQLITE_DONE) return SoftSqlError(rc);
    add.Reset();
    if (DWORD e = Done(add.Bind(1, current).Bind(2, name).Bind(3, NowTicks()).Step())) return e;
    if (DWORD e = Touch(db, current)) return e;
    current = sqlite3_last_insert_rowid(db);
    *created = true;
  }
  *id = current;
  return ERROR_SUCCESS;
}

DWORD RegGetValue(sqlite3* db, int64_t id, const std::string& name, RegValue* value) {
  if (db == nullptr) return ERROR_FILE_NOT_FOUND;
  SoftStmt s(db, "SELECT type, data FROM reg_values WHERE key=?1 AND name=?2");
  const int rc = s.Bind(1, id).Bind(2, name).Step();
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (rc != SQLITE_ROW) return SoftSqlError(rc);
  value->type = static_cast<DWORD>(s.Int(0));
  value->data = s.Blob(1);
  return ERROR_SUCCESS;
}

DWORD RegPutValue(sqlite3* db, int64_t id, const std::string& name, DWORD type, const BYTE* data,
                  DWORD size) {
  SoftStmt s(db, "INSERT OR REPLACE INTO reg_values(key, name, type, data) VALUES(?1,?2,?3,?4)");
  s.Bind(1, id).Bind(2, name).Bind(3, int64_t{type}).BindBlob(4, data, size);
  if (DWORD e = Done(s.Step())) return e;
  return Touch(db, id);
}

DWORD RegRemoveValue(sqlite3* db, int64_t id, const std::string& name) {
  SoftStmt s(db, "DELETE FROM reg_values WHERE key=?1 AND name=?2");
  if (DWORD e = Done(s.Bind(1, id).Bind(2, name).Step())) return e;
  if (sqlite3_changes(db) == 0) return ERROR_FILE_NOT_FOUND;
  return Touch(db, id);
}

DWORD RegListSubKeys(sqlite3* db, int64_t id, std::vector<RegSubKey>* keys) {
  keys->clear();
  if (db == nullptr) return ERROR_SUCCESS;
  SoftStmt s(db, "SELECT name, written FROM reg_keys WHERE parent=?1 AND id<>1 ORDER BY name");
  s.Bind(1, id);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW)
    keys->push_back({s.Text(0), static_cast<uint64_t>(s.Int(1))});
  return Done(rc);
}

DWORD RegListValues(sqlite3* db, int64_t id,
                    std::vector<std::pair<std::string, RegValue>>* values) {
  values->clear();
  if (db == nullptr) return ERROR_SUCCESS;
  SoftStmt s(db, "SELECT name, type, data FROM reg_values WHERE key=?1 ORDER BY name");
  s.Bind(1, id);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW)
    values->push_back({s.Text(0), RegValue{static_cast<DWORD>(s.Int(1)), s.Blob(2)}});
  return Done(rc);
}

DWORD RegRemoveTree(sqlite3* db, int64_t id, bool includeSelf) {
  static const char* const kSteps[] = {
      "WITH RECURSIVE t(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM reg_keys k JOIN t"
      " ON k.parent=t.id) DELETE FROM reg_values WHERE key IN t",
      "WITH RECURSIVE t(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM reg_keys k JOIN t"
      " ON k.parent=t.id) DELETE FROM reg_keys WHERE id IN t AND (?2 OR id<>?1) AND id<>1",
  };
  for (const char* sql : kSteps) {
    SoftStmt s(db, sql);
    if (DWORD e = Done(s.Bind(1, id).Bind(2, int64_t{includeSelf}).Step())) return e;
  }
  return ERROR_SUCCESS;
}

int RegCompareNames(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int x = std::tolower(static_cast<unsigned char>(a[i]));
    const int y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}
