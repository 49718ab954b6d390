// registry/: whether a WAL found beside a database belongs to it.
//
// SQLite's WAL names no database: its header and frames carry salts and
// checksums of the WAL itself, so a WAL copied from another home (or from
// another moment of this one) is replayed onto any database file and the
// integrity check then passes. Each database is therefore given a random
// identity when it is made (the header's application id, offset 68 of page
// 1) and every write transaction stores page 1 again with its commit count
// (the header's user version, offset 60), so that every WAL with a commit
// carries the first page of the database it was written for.
#pragma once

#include <cstdint>
#include <string>

#include "base/WinTypes.h"

// A random identity for a new database: never 0 (0 marks a database made
// before identities, whose WALs cannot be told apart).
uint32_t SoftNewDatabaseIdentity();

// Reads the database file at `path` and its "-wal" without SQLite. The WAL
// belongs to it when its committed frames of page 1 carry the database's
// identity, and either one of them is the page the file holds (checkpointed
// up to there) or the first follows it by one commit (written after the
// last checkpoint). ERROR_SUCCESS when it belongs, when the WAL holds no
// committed frame of page 1, or when the database has no identity;
// ERROR_FILE_CORRUPT, with a trace record, when it does not.
DWORD SoftCheckWalOwner(const std::string& path);
