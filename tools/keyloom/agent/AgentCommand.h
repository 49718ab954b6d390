// `keyloom agent`: the control for any browser, over a loopback WebSocket.
#pragma once

#include <string>
#include <vector>

// Parses `[--port N] [--idle-timeout SECONDS] [--max-per-origin N]
// [--max-connections N] [--max-keys-per-minute N] [--allow-origin ORIGIN]...`
// (ORIGIN as a browser sends it, "http://127.0.0.1:18080"), loads the module at `modulePath` and serves until
// SIGINT or SIGTERM. Returns the exit code: 0 after a clean stop, 1 when the
// module cannot be loaded or a loopback address cannot be held, 2 on a usage error.
int RunAgentCommand(const std::vector<std::string>& args, const std::string& modulePath);
