#include "keyloom/agent/AgentCommand.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "base/Platform.h"
#include "keyloom/agent/Server.h"
#include "trace/Trace.h"

int RunAgentCommand(const std::vector<std::string>& args, const std::string& modulePath) {
  AgentOptions options;
  if (!ParseAgentOptions(args, &options)) return 2;
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
