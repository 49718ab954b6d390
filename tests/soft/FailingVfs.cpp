#include "FailingVfs.h"

#include <sqlite3.h>

namespace {

sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_vfs;
int g_writes = 0, g_failAt = 0;
bool g_fired = false;

// A file of the failing VFS: its methods, then the real file.
struct File {
  sqlite3_file base;
  sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};
sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real(); }

int Write(sqlite3_file* f, const void* data, int size, sqlite3_int64 offset) {
  if (++g_writes == g_failAt) {
    g_fired = true;
    return SQLITE_IOERR_WRITE;
  }
  return Real(f)->pMethods->xWrite(Real(f), data, size, offset);
}

// Every other method goes to the real file.
const sqlite3_io_methods kMethods = {
    3,
    [](sqlite3_file* f) { return Real(f)->pMethods ? Real(f)->pMethods->xClose(Real(f)) : SQLITE_OK; },
    [](sqlite3_file* f, void* p, int n, sqlite3_int64 o) { return Real(f)->pMethods->xRead(Real(f), p, n, o); },
    &Write,
    [](sqlite3_file* f, sqlite3_int64 s) { return Real(f)->pMethods->xTruncate(Real(f), s); },
    [](sqlite3_file* f, int flags) { return Real(f)->pMethods->xSync(Real(f), flags); },
    [](sqlite3_file* f, sqlite3_int64* s) { return Real(f)->pMethods->xFileSize(Real(f), s); },
    [](sqlite3_file* f, int l) { return Real(f)->pMethods->xLock(Real(f), l); },
    [](sqlite3_file* f, int l) { return Real(f)->pMethods->xUnlock(Real(f), l); },
    [](sqlite3_file* f, int* r) { return Real(f)->pMethods->xCheckReservedLock(Real(f), r); },
    [](sqlite3_file* f, int op, void* a) { return Real(f)->pMethods->xFileControl(Real(f), op, a); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); },
    [](sqlite3_file* f, int i, int s, int e, void volatile** p) { return Real(f)->pMethods->xShmMap(Real(f), i, s, e, p); },
    [](sqlite3_file* f, int o, int n, int fl) { return Real(f)->pMethods->xShmLock(Real(f), o, n, fl); },
    [](sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); },
    [](sqlite3_file* f, int d) { return Real(f)->pMethods->xShmUnmap(Real(f), d); },
    [](sqlite3_file* f, sqlite3_int64 o, int n, void** p) { return Real(f)->pMethods->xFetch(Real(f), o, n, p); },
    [](sqlite3_file* f, sqlite3_int64 o, void* p) { return Real(f)->pMethods->xUnfetch(Real(f), o, p); },
};

int Open(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* outFlags) {
  File* file = reinterpret_cast<File*>(f);
  file->base.pMethods = nullptr;
  const int rc = g_real->xOpen(g_real, name, file->real(), flags, outFlags);
  if (file->real()->pMethods != nullptr) file->base.pMethods = &kMethods;
  return rc;
}

}  // namespace

void InstallFailingVfs(int n) {
  g_real = sqlite3_vfs_find(nullptr);
  g_vfs = *g_real;
  g_vfs.zName = "failing";
  g_vfs.szOsFile = static_cast<int>(sizeof(File)) + g_real->szOsFile;
  g_vfs.xOpen = &Open;
  g_failAt = n;
  sqlite3_vfs_register(&g_vfs, 1);
}

bool FailingVfsFired() { return g_fired; }
