// registry/: who may own the files of a home.
//
// The homes hold private keys, so their files are treated as OpenSSH treats
// its own: a folder or file that another user owns or can write is refused,
// a symbolic link at a file's place is never followed, and the database and
// its WAL and SHM files are kept owner-only (SQLite gives the WAL and SHM the
// database's mode, so a 0600 database makes them 0600 too).
#pragma once

#include <string>

#include "base/WinTypes.h"

// The user's home folder: $HOME, else the password database's entry of the
// effective user. Empty when neither names one (never a shared folder).
std::string SoftUserHome();

// Checks the home folder `home` and the folders above it: each must belong
// to the effective user or root, and none may be writable by group or others
// (unless sticky, as /tmp). With `create`, makes the missing folders 0700.
// ERROR_SUCCESS; ERROR_FILE_NOT_FOUND when it is absent and not created;
// ERROR_ACCESS_DENIED, with a trace record saying why, when it is refused.
DWORD SoftCheckHome(const std::string& home, bool create);

// Whether `home` is a folder root shares with every user: root-owned,
// readable and not writable by the others (the machine home the package
// makes, 0755). Its database is readable by all and keeps a rollback
// journal, since WAL cannot be read by those who cannot write the folder.
bool SoftSharedHome(const std::string& home);

// Checks the database at `path` and its "-wal" and "-shm" files, creating
// the database 0600 with `create`: each must be a regular file (no link
// followed), belong to the effective user or root and not be writable by
// group or others; the user's own files are made 0600 (0644 for root's in
// a root-owned home that others may read but not write: a shared machine
// home). ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when the database is absent and not created, or
// ERROR_ACCESS_DENIED with a trace record.
DWORD SoftCheckDatabaseFiles(const std::string& path, bool create);
