#include "keyloom/agent/AgentCommand.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/Platform.h"
#include "keyloom/agent/Handshake.h"
#include "keyloom/agent/Server.h"
#include "trace/Trace.h"

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

bool ParseOptions(const std::vector<std::string>& args, AgentOptions* options) {
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

}  // namespace

int RunAgentCommand(const std::vector<std::string>& args, const std::string& modulePath) {
  AgentOptions options;
  if (!ParseOptions(args, &options)) return 2;
  LoadedModule module;
  std::string error;
  if (!LoadModule(modulePath, &module, &error)) {
    std::fprintf(stderr, "keyloom agent: %s\n", error.c_str());
    return 1;
  }
  AgentModule agentModule;
  agentModule.module = &module;
  agentModule.SetThreadUILanguage =
      reinterpret_cast<LANGID (*)(LANGID)>(dlsym(module.handle, "SetThreadUILanguage"));
  if (agentModule.SetThreadUILanguage == nullptr)
    std::fprintf(stderr, "keyloom agent: the module cannot set a thread's language; its texts follow the user's\n");

  // The admission checks read the zone through the tool's own platform.
  const bool comReady = SUCCEEDED(Plat().CoInitialize(nullptr));
  TraceInitialize();
  const int code = RunAgent(options, agentModule);
  TraceShutdown();
  if (comReady) Plat().CoUninitialize();
  UnloadModule(&module);
  return code;
}
