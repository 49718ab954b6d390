// Files of the authority: read whole, written without following links and
// with an exact mode (private keys 0600 whatever the umask); requests and
// keys as DER or Base64 text.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "testca/Authority.h"

namespace testca {

namespace {

bool IsBase64Char(unsigned char c) {
  return std::isalnum(c) || c == '+' || c == '/' || c == '=';
}

}  // namespace

bool FileOctets(const Bytes& content, Bytes* der, std::string* error) {
  if (!content.empty() && (content[0] == 0x30 || content[0] == 0x00)) {
    *der = content;
    return true;
  }
  // Base64: lines of any length and ending; armour lines are skipped.
  std::string text;
  size_t line = 0;
  while (line < content.size()) {
    size_t end = line;
    while (end < content.size() && content[end] != '\n') ++end;
    if (end - line < 5 || std::memcmp(&content[line], "-----", 5) != 0)
      for (size_t i = line; i < end; ++i)
        if (IsBase64Char(content[i])) text.push_back(static_cast<char>(content[i]));
    line = end + 1;
  }
  size_t pad = 0;
  while (pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
  der->assign(text.size() / 4 * 3 + 3, 0);
  const int n = text.size() % 4 == 0
                    ? EVP_DecodeBlock(der->data(), reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()))
                    : -1;
  if (text.empty() || n < 0) {
    *error = "the file holds neither DER nor Base64 text";
    return false;
  }
  der->resize(static_cast<size_t>(n) - pad);
  return true;
}


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
