// The registry tree of one database: keys by path, values, enumeration
// and deletion. Names compare without regard to ASCII case, as on the
// platform. A null connection is an empty tree (a home not created yet).
// These run inside the caller's SoftRead/SoftWrite transaction.
#pragma once

#include <sqlite3.h>

#include <string>
#include <utility>
#include <vector>

#include "base/WinTypes.h"

using RegPath = std::vector<std::string>;  // key names, UTF-8

struct RegValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// Splits a backslash-separated UTF-16 key path (null is empty); empty
// components (doubled or trailing separators) are skipped.
RegPath RegSplitPath(const char16_t* subKey);

// Finds the key at `path` below the root. ERROR_FILE_NOT_FOUND when any
// part is missing, another Win32 code when the table cannot be read.
DWORD RegFindKey(sqlite3* db, const RegPath& path, int64_t* id);

// Creates the missing keys of `path`; `created` tells whether the last one
// is new. Returns a Win32 code.
DWORD RegCreatePath(sqlite3* db, const RegPath& path, int64_t* id, bool* created);

// The value `name` (empty: the default value) of key `id`.
// ERROR_FILE_NOT_FOUND when absent.
DWORD RegGetValue(sqlite3* db, int64_t id, const std::string& name, RegValue* value);
DWORD RegPutValue(sqlite3* db, int64_t id, const std::string& name, DWORD type, const BYTE* data,
                  DWORD size);
DWORD RegRemoveValue(sqlite3* db, int64_t id, const std::string& name);

// The names of the subkeys of `id`, in the platform's order (by name,
// without regard to case), each with its last write time.
struct RegSubKey {
  std::string name;
  uint64_t written;  // FILETIME ticks
};
DWORD RegListSubKeys(sqlite3* db, int64_t id, std::vector<RegSubKey>* keys);

// The values of `id` with their names, ordered by name without regard to
// case (the default value, named "", first).
DWORD RegListValues(sqlite3* db, int64_t id,
                    std::vector<std::pair<std::string, RegValue>>* values);

// Removes every subkey and value of `id`; the key itself too when
// `includeSelf` (never the root).
DWORD RegRemoveTree(sqlite3* db, int64_t id, bool includeSelf);

// Case-insensitive (ASCII) ordering of names, as the platform sorts them.
int RegCompareNames(const std::string& a, const std::string& b);
