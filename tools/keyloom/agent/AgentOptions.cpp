#include <cerrno>
#include <cstdlib>

#include "keyloom/agent/Handshake.h"
#include "keyloom/agent/Server.h"

namespace {

// A whole number in [minimum, maximum]; false otherwise.
bool ParseNumber(const std::string& text, unsigned minimum, unsigned maximum, unsigned* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (errno != 0 || *end != 0 || value < minimum || value > maximum) return false;
  *out = static_cast<unsigned>(value);
  return true;
}

}  // namespace

bool ParseAgentOptions(const std::vector<std::string>& args, AgentOptions* options) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (i + 1 == args.size()) return false;
    const std::string& name = args[i];
    const std::string& value = args[++i];
    if (name == "--allow-origin") {
      if (!IsOriginShaped(value)) return false;
      options->allowOrigins.push_back(value);
      continue;
    }
    const bool ok = name == "--port"             ? ParseNumber(value, 0, 65535, &options->port)
                    : name == "--idle-timeout"   ? ParseNumber(value, 1, 86400, &options->idleSeconds)
                    : name == "--max-per-origin" ? ParseNumber(value, 1, 1024, &options->maxPerOrigin)
                    : name == "--max-connections" ? ParseNumber(value, 1, 1024, &options->maxConnections)
                    : name == "--max-keys-per-minute" ? ParseNumber(value, 1, 100000, &options->keysPerMinute)
                                                  : false;
    if (!ok) return false;
  }
  return true;
}

