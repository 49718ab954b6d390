#include "FailingVfs.h"

#include <sqlite3.h>

namespace {

sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_vfs;
int g_writes = 0, g_failAt = 0;
bool g_fired = false;

// The methods of each kind of real file (the default VFS has fewer than
// eight), and their twin whose xWrite counts writes and fails the chosen one.
struct Methods {
  const sqlite3_io_methods* real;
  sqlite3_io_methods failing;
} g_methods[8];

int Write(sqlite3_file* f, const void* data, int size, sqlite3_int64 offset) {
  const Methods* m = g_methods;
  while (&m->failing != f->pMethods) ++m;
  if (++g_writes == g_failAt) {
    g_fired = true;
    return SQLITE_IOERR_WRITE;
  }
  return m->real->xWrite(f, data, size, offset);
}

// Opens the real file in place, then gives it the failing twin of its methods.
int Open(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* outFlags) {
  const int rc = g_real->xOpen(g_real, name, f, flags, outFlags);
  if (f->pMethods == nullptr) return rc;
  Methods* m = g_methods;
  while (m->real != nullptr && m->real != f->pMethods) ++m;
  if (m->real == nullptr) {
    m->real = f->pMethods;
    m->failing = *f->pMethods;
    m->failing.xWrite = &Write;
  }
  f->pMethods = &m->failing;
  return rc;
}

}  // namespace

void InstallFailingVfs(int n) {
  g_real = sqlite3_vfs_find(nullptr);
  g_vfs = *g_real;
  g_vfs.zName = "failing";
  g_vfs.xOpen = &Open;
  g_failAt = n;
  sqlite3_vfs_register(&g_vfs, 1);
}

bool FailingVfsFired() { return g_fired; }
