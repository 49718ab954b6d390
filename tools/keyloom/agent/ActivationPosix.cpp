#include "keyloom/agent/Activation.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "base/Platform.h"

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr int kFirstListenFd = 3;  // SD_LISTEN_FDS_START

// A whole decimal number in [0, maximum]; -1 otherwise.
long ParseCount(const char* text, long maximum) {
  if (text == nullptr || *text < '0' || *text > '9') return -1;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != 0 || value > maximum) return -1;
  return value;
}

// The class key that per-user registration writes.
constexpr char16_t kUserClassKey[] = u"Software\\Classes\\CLSID\\{5E2C7A14-9B3D-4F61-A8C2-3D7E91B04F25}";

}  // namespace

int ListenFdCount(const char* pid, const char* fds, pid_t self) {
  if (pid == nullptr || fds == nullptr) return 0;
  const long owner = ParseCount(pid, LONG_MAX);
  if (owner < 0) return -1;
  if (owner != self) return 0;
  // More than the descriptor table can hold is a corrupt value.
  const long count = ParseCount(fds, INT_MAX - kFirstListenFd);
  return static_cast<int>(count);
}

int AdoptListenSockets(net::io_context& io, std::deque<tcp::acceptor>* acceptors, unsigned* port,
                       std::string* why) {
  const int count = ListenFdCount(std::getenv("LISTEN_PID"), std::getenv("LISTEN_FDS"), getpid());
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (count < 0) {
    *why = "LISTEN_PID or LISTEN_FDS is not a number";
    return -1;
  }
  for (int fd = kFirstListenFd; fd < kFirstListenFd + count; ++fd) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    int listening = 0, type = 0;
    socklen_t size = sizeof listening;
    sockaddr_storage address{};
    socklen_t addressSize = sizeof address;
    const bool stream = getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening &&
                        (size = sizeof type, getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0) &&
                        type == SOCK_STREAM &&
                        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressSize) == 0 &&
                        (address.ss_family == AF_INET || address.ss_family == AF_INET6);
    if (!stream) {
      *why = "descriptor " + std::to_string(fd) + " is not a listening TCP socket";
      return -1;
    }
    tcp::acceptor acceptor(io);
    boost::system::error_code ec;
    acceptor.assign(address.ss_family == AF_INET ? tcp::v4() : tcp::v6(), fd, ec);
    if (ec) {
      *why = ec.message();
      return -1;
    }
    if (acceptors->empty()) *port = acceptor.local_endpoint(ec).port();
    acceptors->push_back(std::move(acceptor));
  }
  return count;
}

HRESULT RegisterForUserOnce(const LoadedModule& module) {
  HKEY key = nullptr;
  if (Plat().RegOpenKeyExW(HKEY_CURRENT_USER, kUserClassKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    Plat().RegCloseKey(key);
    return S_OK;
  }
  const HRESULT hr = module.DllInstall(TRUE, u"user");
  if (FAILED(hr))
    std::fprintf(stderr, "keyloom agent: registration for this user failed (0x%08x)\n", static_cast<unsigned>(hr));
  return hr;
}
