// The WAL's layout (SQLite's file format, "The WAL File Format"): a 32-octet
// header (magic, version, page size, checkpoint sequence, two salts, two
// checksums), then frames of a 24-octet header (page number, database size
// after a commit or 0, the two salts, two cumulative checksums) and a page.
#include "platform/soft/registry/SoftWalOwner.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "trace/Trace.h"

TRACE_COMPONENT("SoftDatabase");

namespace {

constexpr uint32_t kWalMagic = 0x377f0682;  // | 1: checksums big-endian
constexpr size_t kWalHeader = 32, kFrameHeader = 24;
constexpr size_t kCountAt = 60, kIdentityAt = 68;  // in page 1

uint32_t Be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

// SQLite's WAL checksum over `n` octets (a multiple of 8), continuing s.
void Checksum(bool bigEndian, const uint8_t* p, size_t n, uint32_t s[2]) {
  for (size_t i = 0; i < n; i += 8) {
    s[0] += (bigEndian ? Be32(p + i) : Le32(p + i)) + s[1];
    s[1] += (bigEndian ? Be32(p + i + 4) : Le32(p + i + 4)) + s[0];
  }
}

bool ReadAll(int fd, std::vector<uint8_t>* out) {
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) return true;
    out->insert(out->end(), buffer, buffer + n);
  }
}

bool ReadFile(const std::string& path, size_t most, std::vector<uint8_t>* out) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok;
  if (most == 0) {
    ok = ReadAll(fd, out);
  } else {
    out->resize(most);
    const ssize_t n = pread(fd, out->data(), most, 0);
    ok = n == static_cast<ssize_t>(most);
  }
  close(fd);
  return ok;
}

DWORD Refuse(const std::string& path, const char* why) {
  TRACE_FAILURE(why, path.c_str(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
  return ERROR_FILE_CORRUPT;
}

}  // namespace

uint32_t SoftNewDatabaseIdentity() {
  uint32_t id = 0;
  while (id == 0)
    if (getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) id = 0;
  return id;
}

DWORD SoftCheckWalOwner(const std::string& path) {
  std::vector<uint8_t> head, wal;
  if (!ReadFile(path, 100, &head)) return ERROR_SUCCESS;  // SQLite reports a short file itself
  const uint32_t identity = Be32(&head[kIdentityAt]), count = Be32(&head[kCountAt]);
  if (identity == 0) return ERROR_SUCCESS;
  if (!ReadFile(path + "-wal", 0, &wal) || wal.size() < kWalHeader) return ERROR_SUCCESS;
  const uint32_t magic = Be32(&wal[0]), pageSize = Be32(&wal[8]);
  if ((magic & ~1u) != kWalMagic || pageSize < 512 || pageSize > 65536 ||
      (pageSize & (pageSize - 1)) != 0)
    return ERROR_SUCCESS;  // SQLite ignores a WAL without a valid header
  const bool bigEndian = (magic & 1) != 0;
  uint32_t sum[2] = {0, 0};
  Checksum(bigEndian, wal.data(), 24, sum);
  if (sum[0] != Be32(&wal[24]) || sum[1] != Be32(&wal[28])) return ERROR_SUCCESS;
  // The page-1 counts of committed frames, in order; those of a transaction
  // count once its commit frame is seen, as SQLite replays them.
  std::vector<uint32_t> committed, pending;
  for (size_t at = kWalHeader; at + kFrameHeader + pageSize <= wal.size();
       at += kFrameHeader + pageSize) {
    const uint8_t* frame = &wal[at];
    const uint8_t* page = frame + kFrameHeader;
    if (std::equal(frame + 8, frame + 16, &wal[16]) == false) break;  // an older WAL's frame
    Checksum(bigEndian, frame, 8, sum);
    Checksum(bigEndian, page, pageSize, sum);
    if (sum[0] != Be32(frame + 16) || sum[1] != Be32(frame + 20)) break;
    if (Be32(frame) == 1) {
      if (Be32(page + kIdentityAt) != identity) return Refuse(path, "WAL of another database");
      pending.push_back(Be32(page + kCountAt));
    }
    if (Be32(frame + 4) != 0) {  // a commit frame
      committed.insert(committed.end(), pending.begin(), pending.end());
      pending.clear();
    }
  }
  if (committed.empty() || committed.front() == count + 1) return ERROR_SUCCESS;
  for (uint32_t c : committed)
    if (c == count) return ERROR_SUCCESS;
  return Refuse(path, "WAL of another moment of the database");
}
