// The agent's WebSocket server on the loopback interface.
#pragma once

#include "keyloom/agent/ControlWorker.h"

struct AgentOptions {
  unsigned port = 17443;          // 0: a free port, printed when ready
  unsigned idleSeconds = 300;     // a connection without messages closes after this
  unsigned maxPerOrigin = 8;      // open connections of one origin
  unsigned maxConnections = 64;   // open connections (controls) in all
};

// Listens on 127.0.0.1 and ::1 (when the machine has it) on `options.port`,
// prints "keyloom agent listening on ws://127.0.0.1:PORT/" on standard
// output once ready, and serves until SIGINT or SIGTERM: then it closes
// every connection, joins every connection's thread and returns 0. Returns
// 1, with the reason on standard error, when it cannot listen on 127.0.0.1.
// `module` must stay loaded until it returns. Every refused connection is
// recorded through the tool's trace facility (failure records, component
// "Agent") with the reason, the Origin and the Host.
int RunAgent(const AgentOptions& options, const AgentModule& module);
