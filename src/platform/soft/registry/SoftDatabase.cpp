// Homes, connections and transactions of the soft platform's databases.
#include "platform/soft/registry/SoftDatabase.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr int kBusyTimeoutMs = 120000;
constexpr const char* kDatabaseName = "/keyloom.db";

// The tables of both homes: the registry (one tree per database, the root
// key has id 1) and the key containers of the user's providers.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS reg_keys("
    " id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE, written INTEGER NOT NULL,"
    " UNIQUE(parent, name));"
    "INSERT OR IGNORE INTO reg_keys VALUES(1, 0, '', 0);"
    "CREATE TABLE IF NOT EXISTS reg_values("
    " key INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL, data BLOB, PRIMARY KEY(key, name));"
    "CREATE TABLE IF NOT EXISTS containers("
    " family TEXT NOT NULL, name TEXT NOT NULL,"
    " PRIMARY KEY(family, name));"
    "CREATE TABLE IF NOT EXISTS container_keys("
    " family TEXT NOT NULL, container TEXT NOT NULL, spec INTEGER NOT NULL,"
    " algid INTEGER NOT NULL, exportable INTEGER NOT NULL, der BLOB NOT NULL,"
    " certificate BLOB, PRIMARY KEY(family, container, spec));";

struct SoftDbDeleter {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

}  // namespace

struct SoftKeptStmt {
  sqlite3_stmt* stmt = nullptr;
  bool inUse = false;
};

struct SoftDb {
  sqlite3* db = nullptr;
  std::map<std::string, SoftKeptStmt, std::less<>> statements;  // by text
  uint64_t serial = 0;  // unique among the connections this process opened
  pid_t pid = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  bool writable = false;
  bool hasSchema = false;
  ~SoftDb() {
    // A forked child never closes its parent's connection: SQLite's
    // connections belong to the process that opened them.
    if (db == nullptr || pid != getpid()) return;
    for (auto& [text, kept] : statements) sqlite3_finalize(kept.stmt);
    sqlite3_close_v2(db);
  }
};

namespace {

std::mutex g_lock;  // serialises database use within the process
uint64_t g_openedConnections = 0;  // under g_lock; a forked child goes on counting
SoftDb* g_current = nullptr;       // the connection of the running body, under g_lock
std::map<std::string, std::unique_ptr<SoftDb>>& Connections() {
  static auto* map = new std::map<std::string, std::unique_ptr<SoftDb>>();
  return *map;
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != 0) ? std::string(v) : fallback;
}

// mkdir -p with owner-only folders for every component it creates.
DWORD MakeHome(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      return (errno == EACCES || errno == EPERM || errno == EROFS) ? ERROR_ACCESS_DENIED
                                                                   : ERROR_PATH_NOT_FOUND;
    }
  }
  return ERROR_SUCCESS;
}

// Runs one statement or several; one statement inside a body runs as a
// kept statement.
int Run(sqlite3* db, const char* sql) {
  if (g_current == nullptr || g_current->db != db)
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  SoftStmt s(db, sql);
  const int rc = s.Step();
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

DWORD Exec(sqlite3* db, const char* sql) {
  const int rc = Run(db, sql);
  return rc == SQLITE_OK ? ERROR_SUCCESS : SoftSqlError(rc);
}

// Switching to WAL and BEGIN may meet a lock that the busy handler does
// not wait for (another process switching the journal mode, a recovering
// WAL); such moments are short, so they are retried.
DWORD ExecPatiently(sqlite3* db, const char* sql) {
  for (int attempt = 0;; ++attempt) {
    const int rc = Run(db, sql);
    if (rc == SQLITE_OK) return ERROR_SUCCESS;
    if ((rc & 0xFF) != SQLITE_BUSY || attempt > 2000) return SoftSqlError(rc);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool SchemaPresent(sqlite3* db) {
  SoftStmt s(db, "SELECT 1 FROM sqlite_master WHERE name='container_keys'");
  return s.ok() && s.Step() == SQLITE_ROW;
}

DWORD Open(const std::string& home, const std::string& path, bool write,
           std::unique_ptr<SoftDb>* out) {
  struct stat st;
  if (write) {
    if (DWORD e = MakeHome(home)) return e;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
    close(fd);
  }
  if (stat(path.c_str(), &st) != 0) return ERROR_FILE_NOT_FOUND;
  auto conn = std::make_unique<SoftDb>();
  conn->serial = ++g_openedConnections;
  conn->pid = getpid();
  conn->dev = st.st_dev;
  conn->ino = st.st_ino;
  conn->writable = access(path.c_str(), W_OK) == 0 && access(home.c_str(), W_OK) == 0;
  if (write && !conn->writable) return ERROR_ACCESS_DENIED;
  const int flags = (conn->writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) |
                    SQLITE_OPEN_FULLMUTEX;
  const int rc = sqlite3_open_v2(path.c_str(), &conn->db, flags, nullptr);
  if (rc != SQLITE_OK) return ERROR_ACCESS_DENIED;
  sqlite3_busy_timeout(conn->db, kBusyTimeoutMs);
  if (conn->writable) {
    // WAL lets readers go on while one process writes; NORMAL keeps every
    // committed transaction across a crash of the process; secure_delete
    // overwrites removed rows (key material) in the file.
    if (DWORD e = ExecPatiently(conn->db,
                                "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                                " PRAGMA secure_delete=ON;"))
      return e;
    if (DWORD e = ExecPatiently(conn->db, "BEGIN IMMEDIATE")) return e;
    if (DWORD e = Exec(conn->db, kSchema)) {
      Exec(conn->db, "ROLLBACK");
      return e;
    }
    if (DWORD e = Exec(conn->db, "COMMIT")) return e;
    conn->hasSchema = true;
  } else {
    conn->hasSchema = SchemaPresent(conn->db);
  }
  *out = std::move(conn);
  return ERROR_SUCCESS;
}

// The cached connection of `scope`, opened or reopened as needed. Called
// with g_lock held. *db is null (and ERROR_SUCCESS returned) for a read of
// a home that has no database yet.
DWORD Connect(SoftScope scope, bool write, SoftDb** db) {
  const std::string home = SoftHomePath(scope);
  const std::string path = home + kDatabaseName;
  auto& map = Connections();
  auto it = map.find(path);
  if (it != map.end()) {
    struct stat st;
    SoftDb* c = it->second.get();
    const bool stale = c->pid != getpid() || stat(path.c_str(), &st) != 0 ||
                       st.st_ino != c->ino || st.st_dev != c->dev || (write && !c->writable);
    if (!stale) {
      *db = c;
      return ERROR_SUCCESS;
    }
    map.erase(it);
  }
  std::unique_ptr<SoftDb> conn;
  const DWORD e = Open(home, path, write, &conn);
  if (e == ERROR_FILE_NOT_FOUND && !write) {
    *db = nullptr;
    return ERROR_SUCCESS;
  }
  if (e != ERROR_SUCCESS) return e;
  *db = conn.get();
  map[path] = std::move(conn);
  return ERROR_SUCCESS;
}

// Marks the connection of the running transaction, for kept statements
// and content stamps.
struct Current {
  explicit Current(SoftDb* conn) { g_current = conn; }
  ~Current() { g_current = nullptr; }
};

}  // namespace

std::string SoftHomePath(SoftScope scope) {
  if (scope == SoftScope::kMachine) return EnvOr("KEYLOOM_MACHINE_HOME", "/var/lib/keyloom");
  if (const char* v = std::getenv("KEYLOOM_HOME"); v != nullptr && *v != 0) return v;
  const std::string home = EnvOr("HOME", "/tmp");
  return EnvOr("XDG_DATA_HOME", home + "/.local/share") + "/keyloom";
}

DWORD SoftRead(SoftScope scope, const std::function<DWORD(sqlite3* db)>& body) {
  std::lock_guard<std::mutex> hold(g_lock);
  SoftDb* conn = nullptr;
  if (DWORD e = Connect(scope, false, &conn)) return e;
  if (conn == nullptr || !conn->hasSchema) return body(nullptr);
  Current current(conn);
  if (DWORD e = ExecPatiently(conn->db, "BEGIN")) return e;
  const DWORD result = body(conn->db);
  Exec(conn->db, "COMMIT");
  return result;
}

DWORD SoftWrite(SoftScope scope, const std::function<DWORD(sqlite3* db)>& body) {
  std::lock_guard<std::mutex> hold(g_lock);
  SoftDb* conn = nullptr;
  if (DWORD e = Connect(scope, true, &conn)) return e;
  Current current(conn);
  if (DWORD e = ExecPatiently(conn->db, "BEGIN IMMEDIATE")) return e;
  const DWORD result = body(conn->db);
  if (result != ERROR_SUCCESS) {
    Exec(conn->db, "ROLLBACK");
    return result;
  }
  if (DWORD e = Exec(conn->db, "COMMIT")) {
    Exec(conn->db, "ROLLBACK");
    return e;
  }
  return ERROR_SUCCESS;
}

uint64_t SoftContentStamp(sqlite3* db) {
  // The pager's data version moves with every commit, this connection's
  // own included, as seen when the read began; the serial tells apart
  // connections whose counters may meet.
  unsigned int version = 0;
  sqlite3_file_control(db, "main", SQLITE_FCNTL_DATA_VERSION, &version);
  const uint64_t serial = g_current != nullptr && g_current->db == db ? g_current->serial : 0;
  return (serial << 32) | version;
}

DWORD SoftSqlError(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
      return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:  // only after the busy timeout ran out
    case SQLITE_LOCKED:
      return ERROR_LOCK_VIOLATION;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
    case SQLITE_IOERR:
      return ERROR_WRITE_FAULT;
    default:
      return ERROR_INVALID_DATA;
  }
}

SoftStmt::SoftStmt(sqlite3* db, const char* sql) {
  if (g_current != nullptr && g_current->db == db) {
    auto& kept = g_current->statements;
    auto it = kept.find(std::string_view(sql));
    if (it == kept.end()) {
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return;
      }
      it = kept.emplace(sql, SoftKeptStmt{stmt, false}).first;
    }
    if (!it->second.inUse) {
      it->second.inUse = true;
      inUse_ = &it->second.inUse;
      stmt_ = it->second.stmt;
      return;
    }
  }
  if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
}

SoftStmt::~SoftStmt() {
  if (inUse_ == nullptr) {
    sqlite3_finalize(stmt_);
    return;
  }
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  *inUse_ = false;
}

SoftStmt& SoftStmt::Bind(int index, int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

SoftStmt& SoftStmt::Bind(int index, const std::string& text) {
  sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

SoftStmt& SoftStmt::BindBlob(int index, const void* data, size_t size) {
  static const BYTE kEmpty = 0;
  sqlite3_bind_blob(stmt_, index, size ? data : &kEmpty, static_cast<int>(size),
                    SQLITE_TRANSIENT);
  return *this;
}

int SoftStmt::Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }

int64_t SoftStmt::Int(int column) { return sqlite3_column_int64(stmt_, column); }

std::string SoftStmt::Text(int column) {
  const auto* p = sqlite3_column_text(stmt_, column);
  return p ? std::string(reinterpret_cast<const char*>(p),
                         static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
           : std::string();
}

std::vector<BYTE> SoftStmt::Blob(int column) {
  const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, column));
  const int n = sqlite3_column_bytes(stmt_, column);
  return p ? std::vector<BYTE>(p, p + n) : std::vector<BYTE>();
}

void SoftStmt::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}
