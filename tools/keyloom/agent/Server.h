// The agent's WebSocket server on the loopback interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "keyloom/agent/ControlWorker.h"

// A listening socket as the platform names it (a descriptor, or a SOCKET).
#ifdef _WIN32
using ListenSocket = std::uintptr_t;
#else
using ListenSocket = int;
#endif

struct AgentOptions {
  unsigned port = 17443;          // 0: a free port, printed when ready
  unsigned idleSeconds = 300;     // a connection without messages closes after this
  unsigned maxPerOrigin = 8;      // open connections of one origin
  unsigned maxConnections = 64;   // open connections (controls) in all
  unsigned keysPerMinute = 30;    // key-creating calls of one connection a minute
  // Origins admitted exactly as written besides the https origins of the
  // trusted-sites zone ("http://127.0.0.1:18080").
  std::vector<std::string> allowOrigins;
  // Sockets already bound and listening (socket activation hands them
  // over) that the agent serves and closes; empty: it binds its own.
  std::vector<ListenSocket> listeners;
};

// Binds 127.0.0.1 and, when the machine has IPv6, ::1 on `port` (0: a free
// port, the same on both) and listens. Fills `sockets` with the listening
// sockets (the caller owns them) and returns true; false, with the reason
// in `why` and nothing open, when either address cannot be held (another
// process holding [::1]:PORT could answer pages that reach "localhost").
bool BindLoopback(unsigned port, std::vector<ListenSocket>* sockets, std::string* why);

// Parses the agent's options `[--port N] [--idle-timeout SECONDS]
// [--max-per-origin N] [--max-connections N] [--max-keys-per-minute N]
// [--allow-origin ORIGIN]...` into `options`; false on a usage error (an
// unknown name, a missing value, a number out of range, an origin not
// shaped as a browser sends it).
bool ParseAgentOptions(const std::vector<std::string>& args, AgentOptions* options);

// Serves `options.listeners`, or the sockets of BindLoopback(options.port),
// prints "keyloom agent listening on ws://127.0.0.1:PORT/" on standard
// output once ready, and serves until it is asked to stop (SIGINT or
// SIGTERM; on Windows also the stop request of WatchForStop): then it closes
// every connection, joins every connection's thread and returns 0. Returns
// 1, with the reason on standard error, when it cannot listen. `module`
// must stay loaded until it returns. Every refused connection is recorded
// as Refusals.h says.
int RunAgent(const AgentOptions& options, const AgentModule& module);
