// The agent's WebSocket server on the loopback interface.
#pragma once

#include <string>
#include <vector>

#include "keyloom/agent/ControlWorker.h"

struct AgentOptions {
  unsigned port = 17443;          // 0: a free port, printed when ready
  unsigned idleSeconds = 300;     // a connection without messages closes after this
  unsigned maxPerOrigin = 8;      // open connections of one origin
  unsigned maxConnections = 64;   // open connections (controls) in all
  unsigned keysPerMinute = 30;    // key-creating calls of one connection a minute
  // Origins admitted exactly as written besides the https origins of the
  // trusted-sites zone ("http://127.0.0.1:18080").
  std::vector<std::string> allowOrigins;
};

// Parses the agent's options `[--port N] [--idle-timeout SECONDS]
// [--max-per-origin N] [--max-connections N] [--max-keys-per-minute N]
// [--allow-origin ORIGIN]...` into `options`; false on a usage error (an
// unknown name, a missing value, a number out of range, an origin not
// shaped as a browser sends it).
bool ParseAgentOptions(const std::vector<std::string>& args, AgentOptions* options);

// Serves the sockets a service manager passed (socket activation), or else
// binds 127.0.0.1 and, when the machine has IPv6, ::1 on `options.port` (0:
// a free port, the same on both), refusing to start unless it holds both:
// another process holding [::1]:PORT could answer pages that reach
// "localhost". Prints "keyloom agent listening on ws://127.0.0.1:PORT/" on
// standard output once ready and serves until asked to stop (WatchForStop
// of ServerPlatform.h: SIGINT or SIGTERM; on Windows `keyloom-agent.exe
// --stop`): then it closes every connection, joins every connection's
// thread and returns 0. Returns 1, with the reason on standard error, when
// it cannot listen. `module` must stay loaded until it returns. Every
// refused connection is recorded as Refusals.h says.
int RunAgent(const AgentOptions& options, const AgentModule& module);
