// A SQLite file system over the default one that fails or ends the process
// at a chosen write, for tests of interrupted and full homes.
#pragma once

#include <cstdint>

// The exit code of a process ended by FaultVfsKillAt.
inline constexpr int kFaultVfsKilled = 77;

// Makes the wrapper the default file system of this process: connections
// opened from now on count their writes to database and WAL files. Write
// number `n` (from 1) ends the process with _exit(kFaultVfsKilled) before
// it happens, as a kill -9 would.
void FaultVfsKillAt(uint64_t n);

// Write number `n` (from 1, counted as above) fails with
// SQLITE_IOERR_WRITE; every other write goes through. FaultVfsFired()
// tells whether that write was reached.
void FaultVfsFailAt(uint64_t n);
bool FaultVfsFired();

// From now on every write fails as on a full disk: errno `error` (ENOSPC
// or EDQUOT) and SQLite's status for it. 0 lets writes through again.
void FaultVfsFailWrites(int error);
