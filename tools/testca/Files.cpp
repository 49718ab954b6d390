// Files of the authority: read whole, written without following links and
// with an exact mode (private keys 0600 whatever the umask).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "testca/Authority.h"

namespace testca {

bool ReadWholeFile(const std::string& path, Bytes* content, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  content->clear();
  unsigned char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) content->insert(content->end(), chunk, chunk + n);
  const int readErrno = errno;
  close(fd);
  if (n < 0) {
    *error = "cannot read " + path + ": " + std::strerror(readErrno);
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, const std::string& content, mode_t mode,
                    bool exclusive, std::string* error) {
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  const int fd = open(path.c_str(), flags, mode);
  if (fd < 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  const int writeErrno = errno;
  if (close(fd) != 0) ok = false;
  if (!ok) *error = "cannot write " + path + ": " + std::strerror(writeErrno);
  return ok;
}

}  // namespace testca
