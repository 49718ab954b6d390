// registry/: the homes' SQLite databases and the registry kept in them.
//
// The soft platform's two homes and their SQLite databases.
//
// User scope: $KEYLOOM_HOME, else $XDG_DATA_HOME/keyloom, else
// ~/.local/share/keyloom. Machine scope: $KEYLOOM_MACHINE_HOME, else
// /var/lib/keyloom. Each home holds one database, "keyloom.db", created on
// first write with a 0700 folder and a 0600 file, in WAL mode with a busy
// timeout so that processes sharing a home wait for each other instead of
// failing. Every mutation runs in one IMMEDIATE transaction.
//
// Connections are per process (a forked child opens its own) and are
// reopened when the home's file was replaced or removed.
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
// when the home cannot be created or written.
DWORD SoftWrite(SoftScope scope, const std::function<DWORD(sqlite3* db)>& body);

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
// Win32 code (a lock error only after the busy timeout of two minutes).
DWORD SoftSqlError(int rc);
