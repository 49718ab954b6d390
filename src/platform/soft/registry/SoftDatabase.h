// registry/: the homes' SQLite databases and the registry kept in them.
//
// The soft platform's two homes and their SQLite databases.
//
// User scope: $KEYLOOM_HOME, else $XDG_DATA_HOME/keyloom, else
// ~/.local/share/keyloom (the home folder from $HOME or the password
// database). Machine scope: $KEYLOOM_MACHINE_HOME, else /var/lib/keyloom.
// Each home holds one database, "keyloom.db", created on first write with
// 0700 folders and a 0600 file, in WAL mode (a home root shares with every
// user keeps a rollback journal: SoftSharedHome). Folders and files another user
// owns or can write are refused (SoftHomeFiles.h). A call waits for other
// processes' locks at most KEYLOOM_LOCK_TIMEOUT_MS (10 s) in all: a method
// call or tool command (SoftBeginCall) has one deadline for every
// transaction and checkpoint it makes, the closing checkpoint after it
// included; a transaction outside one has a deadline of its own. Every
// mutation runs in one IMMEDIATE transaction, every read in a read
// transaction.
//
// Connections are per process (a forked child opens its own), reopened
// when the home's file was replaced or removed, and checkpointed and closed
// at process exit and module unload, so the database file alone holds every
// committed row. A database found with a non-empty WAL is checked first
// (ERROR_FILE_CORRUPT when damaged), and containers whose maker died before
// storing their first key are removed.
#pragma once

#include <sqlite3.h>

#include <functional>
#include <string>
#include <vector>

#include "base/WinTypes.h"

enum class SoftScope { kUser, kMachine };

struct SoftDb;

// The folder of a scope's home (from the environment on every call).
std::string SoftHomePath(SoftScope scope);

// Runs `body` inside a read transaction of the scope's database. When the
// database does not exist yet, `body` gets a null connection (an empty
// home). Returns the body's code, or a Win32 code when the database cannot
// be read.
DWORD SoftRead(SoftScope scope, const std::function<DWORD(sqlite3* db)>& body);

// Runs `body` inside one IMMEDIATE transaction of the scope's database,
// creating the home when needed. Commits when the body returns
// ERROR_SUCCESS, else rolls back and returns its code. ERROR_ACCESS_DENIED
// when the home cannot be created or written or is refused,
// ERROR_LOCK_VIOLATION when other processes hold the lock past the wait.
// With `erases` (the body removes key material), the WAL is checkpointed
// and emptied after the commit so no copy of the old rows stays; when a
// reader in another process keeps that from ending by the deadline, the
// write stays committed and ERROR_SHARING_VIOLATION is returned: the rows'
// bytes are erased at the next open that finds the WAL, or the next close.
DWORD SoftWrite(SoftScope scope, const std::function<DWORD(sqlite3* db)>& body,
                bool erases = false);

// Called from a SoftWrite body that turns out to remove or replace key
// material: the commit is followed by the checkpoint that empties the WAL,
// as with `erases`, except that a checkpoint held up by a reader leaves the
// old bytes to the next open or close without failing the write.
void SoftEraseOnCommit();

// The platform's BeginCall and EndCall: the thread's outermost call sets
// the deadline (now + KEYLOOM_LOCK_TIMEOUT_MS) that every wait until its
// EndCall shares, and that the closing checkpoint keeps after it.
void SoftBeginCall();
void SoftEndCall();

// Checkpoints (emptying the WAL) and closes this process's connections.
// The next call opens them again.
void SoftCloseDatabases();

// A stamp of the database's content as the running transaction sees it:
// it differs from every earlier stamp once anything was committed, by this
// process or another, or once the connection was reopened. Call it from a
// SoftRead/SoftWrite body with the connection it got (not null) after that
// body has read from the database.
uint64_t SoftContentStamp(sqlite3* db);

// A prepared statement. Inside a SoftRead/SoftWrite body the connection
// keeps each statement text prepared for the next call (parsing costs
// more than running the small statements used here); the holder resets
// and unbinds it when it goes. A text already in use by another holder,
// or any statement outside a body, is prepared afresh and finalised.
class SoftStmt {
 public:
  SoftStmt(sqlite3* db, const char* sql);
  ~SoftStmt();
  SoftStmt(const SoftStmt&) = delete;
  SoftStmt& operator=(const SoftStmt&) = delete;
  bool ok() const { return stmt_ != nullptr; }
  SoftStmt& Bind(int index, int64_t value);
  SoftStmt& Bind(int index, const std::string& text);
  SoftStmt& BindBlob(int index, const void* data, size_t size);
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step();
  int64_t Int(int column);
  std::string Text(int column);
  std::vector<BYTE> Blob(int column);
  void Reset();

 private:
  sqlite3_stmt* stmt_ = nullptr;
  bool* inUse_ = nullptr;  // the kept statement's flag; null when owned
};

// Maps an SQLite result that is neither SQLITE_ROW nor SQLITE_DONE to a
// Win32 code (a lock error only after the call's bounded wait), with a
// trace record for a lock error or damage.
DWORD SoftSqlError(int rc);
