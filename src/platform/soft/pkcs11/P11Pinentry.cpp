// The PIN through a pinentry program, over its Assuan protocol: the
// program greets with "OK", each command is answered by "OK" or "ERR";
// GETPIN sends the PIN percent-escaped on a "D" line before its "OK".
// Every wait is bounded; the PIN lives only in wiped buffers.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/soft/pkcs11/P11.h"

extern char** environ;

namespace {

constexpr int kAnswerSeconds = 300;  // a user typing a PIN
constexpr size_t kLineLimit = 4096;

struct Child {
  pid_t pid = -1;
  int fd = -1;  // our end of the socket pair that is the program's input and output
  ~Child() {
    if (fd >= 0) close(fd);
    if (pid > 0) {
      // Give a program that got "BYE" a moment, then end it.
      for (int i = 0; i < 50 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) usleep(10000);
      if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  }
};

bool Spawn(Child* child) {
  const char* program = std::getenv("KEYLOOM_PINENTRY");
  if (program == nullptr || *program == 0) program = "pinentry";
  // A socket pair rather than pipes: sending with MSG_NOSIGNAL to a
  // program that has gone cannot raise SIGPIPE in this process.
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  char* argv[] = {const_cast<char*>(program), nullptr};
  const int rc = posix_spawnp(&child->pid, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  child->fd = ends[0];
  if (rc != 0) child->pid = -1;
  return rc == 0;
}

bool Send(Child& child, const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = send(child.fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// One line without its newline, read before `deadline` (CLOCK_MONOTONIC seconds).
bool ReadLine(Child& child, time_t deadline, SecretBytes* line) {
  line->clear();
  for (;;) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec >= deadline) return false;
    pollfd p{child.fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>((deadline - now.tv_sec) * 1000));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char c;
    const ssize_t n = read(child.fd, &c, 1);
    if (n <= 0) return false;
    if (c == '\n') return true;
    if (line->size() >= kLineLimit) return false;
    line->push_back(static_cast<BYTE>(c));
  }
}

bool StartsWith(const SecretBytes& line, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return line.size() >= n && std::memcmp(line.data(), prefix, n) == 0;
}

// The answer to a command: true on "OK"; status and comment lines are
// skipped, "D" lines are unescaped into *data when it is given.
bool Answer(Child& child, time_t deadline, SecretBytes* data) {
  SecretBytes line;
  while (ReadLine(child, deadline, &line)) {
    if (StartsWith(line, "OK")) return true;
    if (StartsWith(line, "ERR")) return false;
    if (!StartsWith(line, "D ") || data == nullptr) continue;
    for (size_t i = 2; i < line.size(); ++i) {
      if (line[i] == '%' && i + 2 < line.size()) {
        const char hex[3] = {static_cast<char>(line[i + 1]), static_cast<char>(line[i + 2]), 0};
        data->push_back(static_cast<BYTE>(std::strtoul(hex, nullptr, 16)));
        i += 2;
      } else {
        data->push_back(line[i]);
      }
    }
  }
  return false;
}

// A command argument with '%', CR and LF escaped as the protocol wants.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%') out += "%25";
    else if (c == '\r') out += "%0D";
    else if (c == '\n') out += "%0A";
    else out += c;
  }
  return out;
}

}  // namespace

DWORD P11AskPin(const std::string& description, const std::string& prompt, SecretBytes* pin) {
  pin->clear();
  Child child;
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const time_t deadline = now.tv_sec + kAnswerSeconds;
  bool ok = Spawn(&child) && Answer(child, deadline, nullptr);
  if (ok) {
    if (const char* tty = std::getenv("GPG_TTY"))
      ok = Send(child, std::string("OPTION ttyname=") + tty + "\n") && Answer(child, deadline, nullptr);
  }
  ok = ok && Send(child, "SETDESC " + Escaped(description) + "\n") && Answer(child, deadline, nullptr) &&
       Send(child, "SETPROMPT " + Escaped(prompt) + "\n") && Answer(child, deadline, nullptr) &&
       Send(child, "GETPIN\n") && Answer(child, deadline, pin);
  if (child.pid > 0) Send(child, "BYE\n");
  if (!ok) {
    pin->clear();
    return kScardCancelledByUser;
  }
  return ERROR_SUCCESS;
}
