// Socket activation: the agent started by a service manager (systemd's
// keyloom-agent.socket) takes the listening sockets it is handed, registers
// the control for the user on its first start, and ends when idle.
#pragma once

#include <sys/types.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <deque>
#include <functional>
#include <string>

#include "keyloom/ModuleLoader.h"

// The number of sockets passed by the LISTEN_PID and LISTEN_FDS values
// `pid` and `fds` (either may be null) to the process `self`, as
// sd_listen_fds(3) reads them: 0 when LISTEN_PID is unset or names another
// process, or LISTEN_FDS is unset; -1 when either is not a whole decimal
// number or the count is out of range. The sockets are fds 3 to 3+N-1.
int ListenFdCount(const char* pid, const char* fds, pid_t self);

// Takes the listening sockets the service manager passed to this process:
// each is adopted by an acceptor appended to `acceptors` (IPv4 or IPv6 by
// its own address), and `port` is set to the first one's port. The
// LISTEN_* variables are removed so that no child takes the sockets again.
// Returns the number adopted (0: not socket-activated), or -1 with the
// reason in `why` when a passed descriptor is not a listening TCP socket.
int AdoptListenSockets(boost::asio::io_context& io, std::deque<boost::asio::ip::tcp::acceptor>* acceptors,
                       unsigned* port, std::string* why);

// Registers the control for the current user (DllInstall(TRUE, "user"),
// which adds the trusted sites the agent admits) unless the user's
// registry already holds its class. Idempotent; returns the registration's
// status (0 when nothing was needed). Failures are reported on standard
// error and leave the agent running.
HRESULT RegisterForUserOnce(const LoadedModule& module);

// Ends the agent after `seconds` without an open connection. Opened and
// Closed count the open connections (null is ignored, so a server without
// idle exit passes none). The timer runs on `io`; `stop` is called there.
struct IdleExit {
  IdleExit(boost::asio::io_context& io, unsigned seconds, std::function<void()> stop);
  boost::asio::steady_timer timer;
  unsigned seconds;
  unsigned open;
  bool stopped = false;
  std::function<void()> stop;
};
void IdleExitOpened(IdleExit* idle);
void IdleExitClosed(IdleExit* idle);
// The agent is stopping for another reason: the wait ends and is not
// started again, so it keeps nothing running.
void IdleExitStop(IdleExit* idle);
