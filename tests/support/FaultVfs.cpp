#include "support/FaultVfs.h"

#include <errno.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstring>

namespace {

uint64_t g_killAt = 0, g_failAt = 0, g_writes = 0;
bool g_fired = false;
int g_failWith = 0;
sqlite3_vfs* g_base = nullptr;
sqlite3_io_methods g_methods;
#define KL_P(...) __VA_ARGS__

struct File {
  sqlite3_file base;  // must come first
  sqlite3_file* real;
  bool counted;
};

sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }

int Write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
  if (reinterpret_cast<File*>(f)->counted) {
    if (g_failWith != 0) {
      errno = g_failWith;
      return g_failWith == ENOSPC ? SQLITE_FULL : SQLITE_IOERR_WRITE;
    }
    if (++g_writes == g_killAt) _exit(kFaultVfsKilled);
    if (g_writes == g_failAt) {
      g_fired = true;
      return SQLITE_IOERR_WRITE;
    }
  }
  return Real(f)->pMethods->xWrite(Real(f), data, amount, offset);
}

int Close(sqlite3_file* f) {
  const int rc = Real(f)->pMethods->xClose(Real(f));
  sqlite3_free(Real(f));
  return rc;
}

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* out) {
  File* file = reinterpret_cast<File*>(f);
  file->real = static_cast<sqlite3_file*>(sqlite3_malloc(g_base->szOsFile));
  if (file->real == nullptr) return SQLITE_NOMEM;
  std::memset(file->real, 0, static_cast<size_t>(g_base->szOsFile));
  const int rc = g_base->xOpen(g_base, name, file->real, flags, out);
  if (rc != SQLITE_OK || file->real->pMethods == nullptr) {
    sqlite3_free(file->real);
    f->pMethods = nullptr;
    return rc;
  }
  file->counted = (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL)) != 0;
  f->pMethods = &g_methods;
  return rc;
}

// Every other method goes to the real file (version 2: no memory mapping).
#define KL_FWD(name, params, args) \
  +[](sqlite3_file* f params) { return Real(f)->pMethods->name(Real(f) args); }
const sqlite3_io_methods g_methodsInit = {
    2,
    &Close,
    KL_FWD(xRead, KL_P(, void* d, int n, sqlite3_int64 o), KL_P(, d, n, o)),
    &Write,
    KL_FWD(xTruncate, KL_P(, sqlite3_int64 n), KL_P(, n)),
    KL_FWD(xSync, KL_P(, int fl), KL_P(, fl)),
    KL_FWD(xFileSize, KL_P(, sqlite3_int64* n), KL_P(, n)),
    KL_FWD(xLock, KL_P(, int l), KL_P(, l)),
    KL_FWD(xUnlock, KL_P(, int l), KL_P(, l)),
    KL_FWD(xCheckReservedLock, KL_P(, int* r), KL_P(, r)),
    KL_FWD(xFileControl, KL_P(, int op, void* a), KL_P(, op, a)),
    KL_FWD(xSectorSize, , ),
    KL_FWD(xDeviceCharacteristics, , ),
    KL_FWD(xShmMap, KL_P(, int pg, int sz, int ext, void volatile** pp), KL_P(, pg, sz, ext, pp)),
    KL_FWD(xShmLock, KL_P(, int o, int n, int fl), KL_P(, o, n, fl)),
    +[](sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); },
    KL_FWD(xShmUnmap, KL_P(, int d), KL_P(, d)),
    nullptr,
    nullptr,
};

void Install() {
  static sqlite3_vfs vfs;
  if (g_base != nullptr) return;
  sqlite3_initialize();
  g_base = sqlite3_vfs_find(nullptr);
  vfs = *g_base;
  vfs.zName = "keyloom-fault";
  vfs.szOsFile = static_cast<int>(sizeof(File));
  vfs.xOpen = &Open;
  g_methods = g_methodsInit;
  sqlite3_vfs_register(&vfs, 1);
}

}  // namespace

void FaultVfsKillAt(uint64_t n) {
  Install();
  g_killAt = n;
  g_writes = 0;
}

void FaultVfsFailAt(uint64_t n) {
  Install();
  g_failAt = n;
  g_writes = 0;
}

bool FaultVfsFired() { return g_fired; }

void FaultVfsFailWrites(int error) {
  Install();
  g_failWith = error;
}
