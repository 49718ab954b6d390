// Ownership and mode checks of the homes' folders and database files.
#include "platform/soft/registry/SoftHomeFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "trace/Trace.h"

TRACE_COMPONENT("SoftHomeFiles");

namespace {

DWORD Refuse(const char* why, const std::string& path) {
  TRACE_FAILURE(why, path.c_str(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  return ERROR_ACCESS_DENIED;
}

bool TrustedOwner(const struct stat& st) { return st.st_uid == geteuid() || st.st_uid == 0; }

// The reason `st` is refused, or null.
// A shared folder (root's, sticky, open to all, like /tmp) may lie above a
// home, where nobody can rename what another user made; it is never the
// home itself, where anyone could plant the database's companion files.
const char* Untrusted(const struct stat& st, bool folder, bool isHome = false) {
  if (!TrustedOwner(st)) return "home refused: owned by another user";
  if (folder && !S_ISDIR(st.st_mode)) return "home refused: not a folder";
  if (!folder && !S_ISREG(st.st_mode)) return "home refused: not a regular file";
  const bool shared = folder && (st.st_mode & S_ISVTX) && st.st_uid == 0;
  if ((st.st_mode & 022) != 0 && shared && isHome)
    return "home refused: a shared folder (sticky, writable by others) is not a home";
  if ((st.st_mode & 022) != 0 && !shared) return "home refused: writable by group or others";
  return nullptr;
}

// Root's files stay readable in a home it shares with every user; all
// others are owner-only.
mode_t OwnFileMode(const std::string& path) {
  return geteuid() == 0 && SoftSharedHome(path.substr(0, path.rfind('/'))) ? 0644 : 0600;
}

// Checks one database file without following a link and makes the user's
// own file owner-only; creates it (0600) when `create` and missing. An
// existing file is never opened: closing any descriptor of a file drops
// every POSIX lock this process holds on it, SQLite's included, and a
// process may hold a connection to it already (a tool that links the
// platform and loads the module has two). Another process could then
// checkpoint or write under that connection and damage the database.
DWORD CheckFile(const std::string& path, bool create, bool required) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return ERROR_ACCESS_DENIED;
    if (!create) return required ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
    // A new file: nobody holds a lock on it yet.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) close(fd);
    else if (errno != EEXIST) return ERROR_ACCESS_DENIED;  // EEXIST: another process made it
    if (lstat(path.c_str(), &st) != 0) return ERROR_ACCESS_DENIED;
  }
  if (S_ISLNK(st.st_mode)) return Refuse("home refused: the database is a symbolic link", path);
  if (const char* why = Untrusted(st, false)) return Refuse(why, path);
  // The home folder above is the user's own and closed to others (checked
  // before), so the file cannot be swapped for a link between the calls.
  const mode_t mode = OwnFileMode(path);
  if (st.st_uid == geteuid() && (st.st_mode & 0777) != mode && chmod(path.c_str(), mode) != 0 &&
      errno != EROFS)  // a read-only home is read as it is
    return Refuse("home refused: the mode cannot be set", path);
  return ERROR_SUCCESS;
}

}  // namespace

std::string SoftUserHome() {
  if (const char* v = std::getenv("HOME"); v != nullptr && *v == '/') return v;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry, *found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
    return {};
  return found->pw_dir;
}

bool SoftSharedHome(const std::string& home) {
  struct stat st;
  return stat(home.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 && (st.st_mode & 077) == 055;
}

DWORD SoftCheckHome(const std::string& home, bool create) {
  if (home.empty() || home[0] != '/') return Refuse("home refused: no home folder", home);
  // Each folder from the root down: an untrusted folder above the home
  // could swap the home for another.
  for (size_t pos = 1; pos <= home.size(); ++pos) {
    if (pos != home.size() && home[pos] != '/') continue;
    const std::string part = home.substr(0, pos);
    struct stat st;
    if (lstat(part.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      return Refuse("home refused: reached through a symbolic link", part);
    if (stat(part.c_str(), &st) != 0) {
      if (errno != ENOENT) return ERROR_ACCESS_DENIED;
      if (!create) return ERROR_FILE_NOT_FOUND;
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
        if (errno == EROFS) return ERROR_WRITE_PROTECT;
        if (errno == ENOSPC || errno == EDQUOT) return ERROR_DISK_FULL;
        return (errno == EACCES || errno == EPERM) ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
      }
      if (stat(part.c_str(), &st) != 0) return ERROR_ACCESS_DENIED;
    }
    if (const char* why = Untrusted(st, true, pos == home.size())) return Refuse(why, part);
  }
  return ERROR_SUCCESS;
}

DWORD SoftCheckDatabaseFiles(const std::string& path, bool create) {
  // The companions first: a refused home gets no database file.
  for (const char* suffix : {"-wal", "-shm"})
    if (DWORD e = CheckFile(path + suffix, false, false)) return e;
  return CheckFile(path, create, true);
}
