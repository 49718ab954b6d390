// Homes, connections and transactions of the soft platform's databases.
#include "platform/soft/registry/SoftDatabase.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/soft/registry/SoftHomeFiles.h"
#include "platform/soft/registry/SoftWalOwner.h"
#include "trace/Trace.h"

TRACE_COMPONENT("SoftDatabase");

namespace {

constexpr int kDefaultLockTimeoutMs = 10000;
constexpr const char* kDatabaseName = "/keyloom.db";

// The tables of both homes: the registry (one tree per database, the root
// key has id 1), the key containers of the user's providers, and the
// containers whose first key is not stored yet with the process making it.
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
    " certificate BLOB, PRIMARY KEY(family, container, spec));"
    "CREATE TABLE IF NOT EXISTS containers_pending("
    " family TEXT NOT NULL, name TEXT NOT NULL, pid INTEGER NOT NULL,"
    " PRIMARY KEY(family, name));"
    // Keys every machine and user has: the system stores' registry
    // locations (registration writes root entries below ROOT's without
    // creating it).
    "INSERT OR IGNORE INTO reg_keys(parent, name, written) VALUES(1, 'SOFTWARE', 0);"
    "INSERT OR IGNORE INTO reg_keys(parent, name, written) SELECT id, 'Microsoft', 0 FROM reg_keys"
    " WHERE parent = 1 AND name = 'SOFTWARE';"
    "INSERT OR IGNORE INTO reg_keys(parent, name, written) SELECT k.id, 'SystemCertificates', 0"
    " FROM reg_keys k JOIN reg_keys s ON k.parent = s.id WHERE s.parent = 1 AND s.name = 'SOFTWARE'"
    " AND k.name = 'Microsoft';"
    "INSERT OR IGNORE INTO reg_keys(parent, name, written) SELECT c.id, store.name, 0"
    " FROM reg_keys c JOIN reg_keys k ON c.parent = k.id JOIN reg_keys s ON k.parent = s.id,"
    " (SELECT 'ROOT' AS name UNION SELECT 'CA' UNION SELECT 'MY' UNION SELECT 'Trust'"
    "  UNION SELECT 'Disallowed') store"
    " WHERE s.parent = 1 AND s.name = 'SOFTWARE' AND k.name = 'Microsoft'"
    " AND c.name = 'SystemCertificates';"
    "INSERT OR IGNORE INTO reg_keys(parent, name, written) SELECT st.id, 'Certificates', 0"
    " FROM reg_keys st JOIN reg_keys c ON st.parent = c.id JOIN reg_keys k ON c.parent = k.id"
    " JOIN reg_keys s ON k.parent = s.id"
    " WHERE s.parent = 1 AND s.name = 'SOFTWARE' AND k.name = 'Microsoft'"
    " AND c.name = 'SystemCertificates';";

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
  bool hasSchema = false;  // the tables a read needs
  bool current = false;    // and every table of this version
  ~SoftDb() {
    // A forked child never closes its parent's connection: SQLite's
    // connections belong to the process that opened them.
    if (db == nullptr || pid != getpid()) return;
    for (auto& [text, kept] : statements) sqlite3_finalize(kept.stmt);
    sqlite3_close_v2(db);
  }
};

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_lock;  // serialises database use within the process
// Of the call holding g_lock; after it, of the last call (the closing
// checkpoint's).
Clock::time_point g_deadline;
// The thread's method call or tool command (SoftBeginCall), when one runs.
thread_local int t_callDepth = 0;
thread_local Clock::time_point t_callDeadline;
uint64_t g_openedConnections = 0;  // under g_lock; a forked child goes on counting
SoftDb* g_current = nullptr;       // the connection of the running body, under g_lock
bool g_eraseOnCommit = false;      // the running write removes or replaces key material

std::map<std::string, std::unique_ptr<SoftDb>>& Connections() {
  static auto* map = new std::map<std::string, std::unique_ptr<SoftDb>>();
  return *map;
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != 0) ? std::string(v) : fallback;
}

// How long one call may wait for other processes' locks in all.
int LockTimeoutMs() {
  const char* v = std::getenv("KEYLOOM_LOCK_TIMEOUT_MS");
  if (v == nullptr || *v == 0) return kDefaultLockTimeoutMs;
  char* end = nullptr;
  const long ms = std::strtol(v, &end, 10);
  return (*end != 0 || ms < 0) ? kDefaultLockTimeoutMs : static_cast<int>(std::min(ms, 3600000L));
}

// SQLite's busy handler: waits in short sleeps until the call's deadline.
int WaitForLock(void*, int attempt) {
  const auto now = Clock::now();
  if (now >= g_deadline) return 0;
  const auto step = std::chrono::milliseconds(attempt < 10 ? 1 : 10);
  std::this_thread::sleep_for(std::min<Clock::duration>(step, g_deadline - now));
  return 1;
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

// SQLite's status with the system's reason behind it: a full disk or an
// exhausted quota shows as an I/O error whose errno tells.
DWORD SqlErrorOf(sqlite3* db, int rc) {
  const int sys = db != nullptr ? sqlite3_system_errno(db) : 0;
  if ((rc & 0xFF) == SQLITE_IOERR && (sys == ENOSPC || sys == EDQUOT)) return ERROR_DISK_FULL;
  if ((rc & 0xFF) == SQLITE_IOERR && sys == EROFS) return ERROR_WRITE_PROTECT;
  return SoftSqlError(rc);
}

DWORD Exec(sqlite3* db, const char* sql) {
  const int rc = Run(db, sql);
  return rc == SQLITE_OK ? ERROR_SUCCESS : SqlErrorOf(db, rc);
}

// Switching to WAL and BEGIN may meet a lock that the busy handler does
// not wait for (another process switching the journal mode, a recovering
// WAL); they are retried until the call's deadline.
DWORD ExecPatiently(sqlite3* db, const char* sql) {
  for (;;) {
    const int rc = Run(db, sql);
    if (rc == SQLITE_OK) return ERROR_SUCCESS;
    if ((rc & 0xFF) != SQLITE_BUSY || Clock::now() >= g_deadline) return SqlErrorOf(db, rc);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool TablePresent(sqlite3* db, const std::string& name) {
  SoftStmt s(db, "SELECT 1 FROM sqlite_master WHERE name=?1");
  s.Bind(1, name);
  return s.ok() && s.Step() == SQLITE_ROW;
}

// Gives the database its identity (SoftWalOwner.h). Inside a write
// transaction.
DWORD SetIdentity(sqlite3* db) {
  const std::string sql = "PRAGMA application_id=" + std::to_string(
      static_cast<int32_t>(SoftNewDatabaseIdentity()));
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? ERROR_SUCCESS : SqlErrorOf(db, rc);
}

// Counts the commit in page 1, so that the WAL carries the database's first
// page with every transaction (SoftWalOwner.h). Inside a write transaction.
DWORD CountCommit(sqlite3* db) {
  int64_t count = 0;
  {
    SoftStmt s(db, "PRAGMA user_version");
    const int rc = s.Step();
    if (rc != SQLITE_ROW) return SqlErrorOf(db, rc);
    count = s.Int(0);
  }
  const std::string sql = "PRAGMA user_version=" + std::to_string(
      static_cast<int32_t>(static_cast<uint32_t>(count) + 1));
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? ERROR_SUCCESS : SqlErrorOf(db, rc);
}

bool FileHasData(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

// A WAL left with frames in it means some process did not close (it was
// killed, or is still running): the file is checked before use.
DWORD CheckIntegrity(sqlite3* db, const std::string& path) {
  SoftStmt s(db, "PRAGMA quick_check");
  const int rc = s.Step();
  if (rc == SQLITE_ROW && s.Text(0) == "ok") return ERROR_SUCCESS;
  if ((rc & 0xFF) == SQLITE_BUSY) return SoftSqlError(rc);
  // The WAL stays, so that every later open finds the damage too.
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  TRACE_FAILURE("database damaged", path.c_str(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
  return ERROR_FILE_CORRUPT;
}

// Removes the containers whose maker died before it settled them (a request
// killed half-way), with the keys they hold: a container either holds every
// key of its request or is gone.
DWORD RemoveUnfinishedContainers(sqlite3* db) {
  std::vector<std::pair<std::string, std::string>> dead;
  {
    SoftStmt s(db, "SELECT family, name, pid FROM containers_pending");
    while (s.Step() == SQLITE_ROW) {
      const pid_t pid = static_cast<pid_t>(s.Int(2));
      if (pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH)
        dead.emplace_back(s.Text(0), s.Text(1));
    }
  }
  if (dead.empty()) return ERROR_SUCCESS;
  if (DWORD e = ExecPatiently(db, "BEGIN IMMEDIATE")) return e;
  for (const auto& [family, name] : dead) {
    for (const char* sql : {"DELETE FROM container_keys WHERE family=?1 AND container=?2",
                            "DELETE FROM containers WHERE family=?1 AND name=?2",
                            "DELETE FROM containers_pending WHERE family=?1 AND name=?2"}) {
      SoftStmt s(db, sql);
      if (s.Bind(1, family).Bind(2, name).Step() != SQLITE_DONE) {
        Exec(db, "ROLLBACK");
        return ERROR_SUCCESS;  // left for the next open
      }
    }
  }
  if (DWORD e = Exec(db, "COMMIT")) return e;
  // The removed keys leave no copy in the WAL.
  sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  return ERROR_SUCCESS;
}

// Makes a new database with its tables beside `path` and links it into
// place, so that no process ever finds an empty file at `path`: an empty
// database file is damage, never a home being made.
DWORD CreateDatabase(const std::string& path) {
  const std::string fresh = path + ".new-" + std::to_string(getpid());
  unlink(fresh.c_str());
  const int fd = open(fresh.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return errno == ENOSPC || errno == EDQUOT ? ERROR_DISK_FULL
                     : errno == EROFS                  ? ERROR_WRITE_PROTECT
                                                       : ERROR_ACCESS_DENIED;
  close(fd);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(fresh.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
  DWORD e = rc == SQLITE_OK ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
  if (e == ERROR_SUCCESS) e = Exec(db, "PRAGMA journal_mode=WAL");
  if (e == ERROR_SUCCESS) e = Exec(db, "BEGIN IMMEDIATE");
  if (e == ERROR_SUCCESS) e = Exec(db, kSchema);
  if (e == ERROR_SUCCESS) e = SetIdentity(db);
  if (e == ERROR_SUCCESS) e = Exec(db, "COMMIT");
  sqlite3_close_v2(db);  // the last connection: its WAL goes into the file
  if (e == ERROR_SUCCESS && link(fresh.c_str(), path.c_str()) != 0 && errno != EEXIST)
    e = ERROR_ACCESS_DENIED;  // EEXIST: another process made it first
  unlink(fresh.c_str());
  for (const char* suffix : {"-wal", "-shm"}) unlink((fresh + suffix).c_str());
  return e;
}

// A WAL left with frames may hold rows removed while another process read
// (a deleted key the checkpoint could not erase then): one attempt without
// waiting, so that a reader still there costs the opening call nothing.
void EraseLeftovers(sqlite3* db) {
  const Clock::time_point deadline = g_deadline;
  g_deadline = Clock::now();
  sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  g_deadline = deadline;
}

bool HasNoIdentity(sqlite3* db) {
  SoftStmt s(db, "PRAGMA application_id");
  return s.Step() == SQLITE_ROW && s.Int(0) == 0;
}

DWORD Open(const std::string& home, const std::string& path, bool write,
           std::unique_ptr<SoftDb>* out) {
  if (DWORD e = SoftCheckHome(home, write)) return e;
  if (DWORD e = SoftCheckDatabaseFiles(path, false)) {
    if (e != ERROR_FILE_NOT_FOUND || !write) return e;
    if (DWORD made = CreateDatabase(path)) return made;
    if (DWORD again = SoftCheckDatabaseFiles(path, false)) return again;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return ERROR_FILE_NOT_FOUND;
  if (st.st_size == 0) {
    TRACE_FAILURE("database damaged: empty", path.c_str(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    return ERROR_FILE_CORRUPT;
  }
  const bool unclean = FileHasData(path + "-wal");
  // A WAL written for another database, or at another moment of this one,
  // is never replayed onto it; it stays, so that every open refuses it.
  if (unclean)
    if (DWORD e = SoftCheckWalOwner(path)) return e;
  auto conn = std::make_unique<SoftDb>();
  conn->serial = ++g_openedConnections;
  conn->pid = getpid();
  conn->dev = st.st_dev;
  conn->ino = st.st_ino;
  conn->writable = access(path.c_str(), W_OK) == 0 && access(home.c_str(), W_OK) == 0;
  if (write && !conn->writable) {
    TRACE_FAILURE("home is read-only", path.c_str(), static_cast<uint32_t>(ERROR_WRITE_PROTECT));
    return ERROR_WRITE_PROTECT;
  }
  int flags = (conn->writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) |
              SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW;
  // A read-only home cannot take the WAL's index: with no WAL to read, the
  // file is opened as unchanging and read as it is.
  std::string name = path;
  if (!conn->writable && !unclean) {
    flags |= SQLITE_OPEN_URI;
    name = "file:";
    for (char c : path) {
      if (c == '%' || c == '?' || c == '#') {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
        name += hex;
      } else {
        name += c;
      }
    }
    name += "?immutable=1";
  }
  const int rc = sqlite3_open_v2(name.c_str(), &conn->db, flags, nullptr);
  if (rc != SQLITE_OK) return ERROR_ACCESS_DENIED;
  sqlite3_busy_handler(conn->db, &WaitForLock, nullptr);
  // NORMAL keeps every committed transaction across a crash of the
  // process; secure_delete overwrites removed rows (key material).
  if (DWORD e = Exec(conn->db, "PRAGMA synchronous=NORMAL; PRAGMA secure_delete=ON;")) return e;
  conn->hasSchema = TablePresent(conn->db, "container_keys");
  conn->current = TablePresent(conn->db, "containers_pending");
  if (unclean && conn->hasSchema)
    if (DWORD e = CheckIntegrity(conn->db, path)) return e;
  if (write && !conn->current) {
    // WAL lets readers go on while one process writes.
    if (DWORD e = ExecPatiently(conn->db, "PRAGMA journal_mode=WAL")) return e;
    if (DWORD e = ExecPatiently(conn->db, "BEGIN IMMEDIATE")) return e;
    if (DWORD e = Exec(conn->db, kSchema)) {
      Exec(conn->db, "ROLLBACK");
      return e;
    }
    if (DWORD e = Exec(conn->db, "COMMIT")) return e;
    conn->hasSchema = conn->current = true;
  }
  if (conn->writable && SoftSharedHome(home))
    if (DWORD e = ExecPatiently(conn->db, "PRAGMA journal_mode=DELETE")) return e;
  if (write && HasNoIdentity(conn->db)) {
    // A database made before identities gets one, moved into the file at
    // once: until then its WAL is not checked.
    if (DWORD e = ExecPatiently(conn->db, "BEGIN IMMEDIATE")) return e;
    if (DWORD e = SetIdentity(conn->db)) {
      Exec(conn->db, "ROLLBACK");
      return e;
    }
    if (DWORD e = Exec(conn->db, "COMMIT")) return e;
    sqlite3_wal_checkpoint_v2(conn->db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  }
  if (conn->writable && conn->current)
    if (DWORD e = RemoveUnfinishedContainers(conn->db)) return e;
  if (unclean && conn->writable) EraseLeftovers(conn->db);
  *out = std::move(conn);
  return ERROR_SUCCESS;
}

// The cached connection of `scope`, opened or reopened as needed. Called
// with g_lock held. *db is null (and ERROR_SUCCESS returned) for a read of
// a home that has no database yet.
DWORD Connect(SoftScope scope, bool write, SoftDb** db) {
  g_deadline = t_callDepth > 0 ? t_callDeadline
                               : Clock::now() + std::chrono::milliseconds(LockTimeoutMs());
  const std::string home = SoftHomePath(scope);
  const std::string path = home + kDatabaseName;
  auto& map = Connections();
  auto it = map.find(path);
  if (it != map.end()) {
    struct stat st;
    SoftDb* c = it->second.get();
    const bool stale = c->pid != getpid() || lstat(path.c_str(), &st) != 0 ||
                       st.st_ino != c->ino || st.st_dev != c->dev ||
                       (write && (!c->writable || !c->current));
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

// Moves every committed page into the database file and empties the WAL,
// so that nothing lives only in the WAL and removed rows leave no copy.
// Readers of older pages hold it up: it is retried until the deadline.
// ERROR_SHARING_VIOLATION when another process still kept it from ending.
DWORD Checkpoint(sqlite3* db) {
  for (;;) {
    const int rc = sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                             nullptr);
    if (rc == SQLITE_OK) return ERROR_SUCCESS;
    if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) {
      TRACE_FAILURE("checkpoint not done", static_cast<uint32_t>(SqlErrorOf(db, rc)));
      return SqlErrorOf(db, rc);
    }
    if (Clock::now() >= g_deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  TRACE_FAILURE("removed rows stay on disk while another process reads; erased at the next"
                " open or close", static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
  return ERROR_SHARING_VIOLATION;
}

// At process exit and module unload: each connection of this process is
// checkpointed and closed (the last one to close also removes the WAL).
__attribute__((destructor)) void CloseAtUnload() { SoftCloseDatabases(); }

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
  if (const char* v = std::getenv("XDG_DATA_HOME"); v != nullptr && *v == '/')
    return std::string(v) + "/keyloom";
  const std::string home = SoftUserHome();
  return home.empty() ? std::string() : home + "/.local/share/keyloom";
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

DWORD SoftWrite(SoftScope scope, const std::function<DWORD(sqlite3* db)>& body, bool erases) {
  std::lock_guard<std::mutex> hold(g_lock);
  SoftDb* conn = nullptr;
  if (DWORD e = Connect(scope, true, &conn)) return e;
  Current current(conn);
  if (DWORD e = ExecPatiently(conn->db, "BEGIN IMMEDIATE")) return e;
  const bool reportErasure = erases;
  g_eraseOnCommit = erases;
  const DWORD result = body(conn->db);
  erases = g_eraseOnCommit;
  g_eraseOnCommit = false;
  if (result != ERROR_SUCCESS) {
    Exec(conn->db, "ROLLBACK");
    return result;
  }
  if (DWORD e = CountCommit(conn->db)) {
    Exec(conn->db, "ROLLBACK");
    return e;
  }
  if (DWORD e = Exec(conn->db, "COMMIT")) {
    Exec(conn->db, "ROLLBACK");
    return e;
  }
  // A key replaced during a request leaves its bytes to the next open or
  // close rather than failing the request that stored its successor.
  if (erases) {
    const DWORD e = Checkpoint(conn->db);
    if (reportErasure) return e;
  }
  return ERROR_SUCCESS;
}

void SoftCloseDatabases() {
  std::lock_guard<std::mutex> hold(g_lock);
  // Within the running call's deadline; at exit or unload, within the last
  // call's (what is left of it): closing never adds a wait of its own.
  if (t_callDepth > 0) g_deadline = t_callDeadline;
  auto& map = Connections();
  for (auto& [path, conn] : map) {
    if (conn->pid != getpid() || !conn->writable || !conn->current) continue;
    // Containers this process made and filled but never released are
    // settled as it ends normally; a killed process's are removed instead.
    SoftStmt settle(conn->db,
                    "DELETE FROM containers_pending WHERE pid=?1 AND EXISTS(SELECT 1 FROM"
                    " container_keys k WHERE k.family=containers_pending.family AND"
                    " k.container=containers_pending.name)");
    settle.Bind(1, int64_t{getpid()}).Step();
    Checkpoint(conn->db);  // the erasure left over by an earlier call too
  }
  map.clear();  // closes this process's connections, never a parent's
}

void SoftEraseOnCommit() { g_eraseOnCommit = true; }

void SoftBeginCall() {
  if (t_callDepth++ == 0)
    t_callDeadline = Clock::now() + std::chrono::milliseconds(LockTimeoutMs());
}

void SoftEndCall() {
  if (t_callDepth > 0) --t_callDepth;
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
      return ERROR_WRITE_PROTECT;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
      return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:  // only after the call's wait ran out
    case SQLITE_LOCKED:
      TRACE_FAILURE("database locked by another process past KEYLOOM_LOCK_TIMEOUT_MS",
                    static_cast<uint32_t>(ERROR_LOCK_VIOLATION));
      return ERROR_LOCK_VIOLATION;
    case SQLITE_CORRUPT:
      TRACE_FAILURE("database damaged", static_cast<uint32_t>(ERROR_FILE_CORRUPT));
      return ERROR_FILE_CORRUPT;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_IOERR:
      if (g_current != nullptr) {
        const int sys = sqlite3_system_errno(g_current->db);
        if (sys == ENOSPC || sys == EDQUOT) return ERROR_DISK_FULL;
      }
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
