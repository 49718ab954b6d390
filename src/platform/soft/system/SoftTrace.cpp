// The soft platform's trace sink: one text line per record.
//
// KEYLOOM_TRACE holds the enable mask in hexadecimal (e.g. "f" or "0x2");
// KEYLOOM_TRACE_FILE names the file the lines are appended to (default:
// standard error): a regular file of the user that only it can write, else
// tracing stays off with one line on standard error. A line is written with one write() so that lines of
// several threads and processes never interleave.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "encoding/Json.h"
#include "encoding/Unicode.h"
#include "platform/soft/SoftTable.h"

namespace {

std::atomic<uint32_t> g_sequence{0};
int g_traceFd = -1;
bool g_ownsFd = false;

// The trace file, opened without blocking (a FIFO would stall the module's
// load) and only when it is a regular file of the user that no one else can
// write (the lines carry subject names); -1 otherwise.
int OpenTraceFile(const char* path) {
  const int fd =
      ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 022) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void TraceRegisterImpl(const GUID*, TraceProviderState* state) {
  const char* mask = std::getenv("KEYLOOM_TRACE");
  if (mask == nullptr || *mask == 0) return;
  char* end = nullptr;
  const unsigned long flags = std::strtoul(mask, &end, 16);
  if (end == mask || flags == 0) return;
  const char* path = std::getenv("KEYLOOM_TRACE_FILE");
  if (path != nullptr && *path != 0) {
    g_traceFd = OpenTraceFile(path);
    if (g_traceFd < 0) {  // tracing stays off; never fails the caller
      static const char kOff[] =
          "keyloom: tracing off: KEYLOOM_TRACE_FILE is not a regular file of this user that"
          " only it can write\n";
      ssize_t unused = ::write(STDERR_FILENO, kOff, sizeof kOff - 1);
      (void)unused;
      return;
    }
    g_ownsFd = true;
  } else {
    g_traceFd = STDERR_FILENO;
    g_ownsFd = false;
  }
  state->consumerHandle = 1;
  state->enableFlags = static_cast<uint32_t>(flags);
  state->enableLevel = 0;
}

void TraceUnregisterImpl(TraceProviderState* state) {
  if (g_ownsFd && g_traceFd >= 0) ::close(g_traceFd);
  g_traceFd = -1;
  g_ownsFd = false;
  state->consumerHandle = 0;
  state->enableFlags = 0;
}

const char* FlagName(uint32_t flag) {
  switch (flag) {
    case 1: return "FAILURE";
    case 2: return "ERROR";
    case 4: return "INFO";
    case 8: return "FUNCTION";
    default: return "?";
  }
}

void TraceWriteImpl(const TraceProviderState* state, const TraceRecord* record) {
  if (state == nullptr || state->consumerHandle == 0 || g_traceFd < 0) return;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm utc;
  gmtime_r(&tv.tv_sec, &utc);
  char head[160];
  std::snprintf(head, sizeof head,
                "keyloom %06u %04d-%02d-%02dT%02d:%02d:%02d.%06ldZ %d:%ld %s.%u %s",
                g_sequence.fetch_add(1) + 1, utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long>(tv.tv_usec),
                static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)),
                record->componentName, record->messageNumber, FlagName(record->flag));
  std::string line(head);
  for (uint32_t i = 0; i < record->argCount; ++i) {
    const TraceArg& a = record->args[i];
    line.push_back(' ');
    if (a.kind == kTraceWide) {
      const auto* w = static_cast<const char16_t*>(a.data);
      line += JsonString(Utf16ToUtf8(std::u16string_view(w, a.size / 2 - 1)));
    } else if (a.kind == kTraceAnsi) {
      line += JsonString(std::string_view(static_cast<const char*>(a.data), a.size - 1));
    } else {
      uint32_t v;
      std::memcpy(&v, a.data, 4);
      char num[16];
      std::snprintf(num, sizeof num, "0x%08x", v);
      line += num;
    }
  }
  line.push_back('\n');
  ssize_t unused = ::write(g_traceFd, line.data(), line.size());
  (void)unused;
}

}  // namespace

void SoftFillTrace(Platform& t) {
  t.TraceRegister = &TraceRegisterImpl;
  t.TraceUnregister = &TraceUnregisterImpl;
  t.TraceWrite = &TraceWriteImpl;
}
