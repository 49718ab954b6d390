// Temporary files: $TMPDIR (else /tmp) as the temporary folder; files made
// owner-only (0600), new files exclusively, and never through a link.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "encoding/Unicode.h"
#include "platform/soft/SoftTable.h"

namespace {

// Handles are descriptors moved away from the small values the platform
// never hands out, so that 0 and INVALID_HANDLE_VALUE stay invalid.
constexpr intptr_t kHandleBias = 0x10000;

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + kHandleBias); }
int FdOf(HANDLE h) {
  const intptr_t v = reinterpret_cast<intptr_t>(h) - kHandleBias;
  return v >= 0 && v < 0x7FFFFFFF ? static_cast<int>(v) : -1;
}

DWORD ErrorOfErrno(int e) {
  switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL:
    case ENAMETOOLONG: return ERROR_INVALID_PARAMETER;
    default: return ERROR_ACCESS_DENIED;  // EACCES, EPERM, ELOOP (a link), EROFS, ...
  }
}

bool PathOf(const char16_t* path, std::string* out) {
  if (path == nullptr || *path == 0) return false;
  *out = Utf16ToUtf8(path);
  return out->find('\0') == std::string::npos;
}

DWORD GetTempPathWImpl(DWORD size, char16_t* buffer) {
  const char* dir = std::getenv("TMPDIR");
  std::string text = dir != nullptr && *dir ? dir : "/tmp";
  if (text.back() != '/') text += '/';
  const std::u16string wide = Utf8ToUtf16(text);
  if (buffer == nullptr || size < wide.size() + 1) return static_cast<DWORD>(wide.size() + 1);
  std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  return static_cast<DWORD>(wide.size());
}

HANDLE CreateFileWImpl(const char16_t* path, DWORD access, DWORD, void*, DWORD disposition,
                       DWORD, HANDLE) {
  std::string file;
  if (!PathOf(path, &file)) {
    SoftSetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  int flags = O_CLOEXEC | O_NOFOLLOW;
  const bool read = access & GENERIC_READ, write = access & GENERIC_WRITE;
  flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  if (disposition != CREATE_NEW && disposition != CREATE_ALWAYS && disposition != OPEN_EXISTING) {
    SoftSetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition != OPEN_EXISTING && !write) {
    SoftSetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  // New files are made exclusively; CREATE_ALWAYS then truncates a file
  // that was there (ERROR_ALREADY_EXISTS, as on the platform).
  DWORD error = ERROR_SUCCESS;
  int fd = open(file.c_str(), disposition == OPEN_EXISTING ? flags : flags | O_CREAT | O_EXCL, 0600);
  if (fd < 0 && errno == EEXIST && disposition == CREATE_ALWAYS) {
    fd = open(file.c_str(), flags | O_TRUNC);
    error = ERROR_ALREADY_EXISTS;
  }
  if (fd < 0) {
    SoftSetLastError(ErrorOfErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {  // only plain files
    close(fd);
    SoftSetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  // A replaced file keeps no wider rights than a new one.
  if (error == ERROR_ALREADY_EXISTS && (st.st_mode & 077) != 0) fchmod(fd, 0600);
  SoftSetLastError(error);
  return HandleOf(fd);
}

BOOL WriteFileImpl(HANDLE file, const void* data, DWORD length, DWORD* written, void*) {
  if (written != nullptr) *written = 0;
  const int fd = FdOf(file);
  if (fd < 0 || (data == nullptr && length != 0)) {
    SoftSetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto* p = static_cast<const char*>(data);
  DWORD done = 0;
  while (done < length) {
    const ssize_t n = write(fd, p + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (written != nullptr) *written = done;
      SoftSetLastError(n < 0 ? ErrorOfErrno(errno) : ERROR_WRITE_FAULT);
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  if (written != nullptr) *written = done;
  return TRUE;
}

BOOL CloseHandleImpl(HANDLE handle) {
  const int fd = FdOf(handle);
  if (fd < 0 || close(fd) != 0) {
    SoftSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL DeleteFileWImpl(const char16_t* path) {
  std::string file;
  if (!PathOf(path, &file)) {
    SoftSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat st {};
  if (lstat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    SoftSetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (unlink(file.c_str()) != 0) {
    SoftSetLastError(ErrorOfErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL PathFileExistsWImpl(const char16_t* path) {
  std::string file;
  struct stat st {};
  if (!PathOf(path, &file) || lstat(file.c_str(), &st) != 0) {
    SoftSetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

}  // namespace

void SoftFillFiles(Platform& t) {
  t.GetTempPathW = &GetTempPathWImpl;
  t.CreateFileW = &CreateFileWImpl;
  t.WriteFile = &WriteFileImpl;
  t.CloseHandle = &CloseHandleImpl;
  t.DeleteFileW = &DeleteFileWImpl;
  t.PathFileExistsW = &PathFileExistsWImpl;
}
