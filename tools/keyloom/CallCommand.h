// `keyloom call` and `keyloom regsvr`.
#pragma once

#include <string>
#include <vector>

#include "keyloom/ModuleLoader.h"

// One method call: its name and its arguments as text.
struct MethodCall {
  std::string method;
  std::vector<std::string> args;
};

// Splits "METHOD [ARG...] [-- METHOD [ARG...]]..." into calls; false when a
// call has no method name.
bool ParseCalls(const std::vector<std::string>& words, std::vector<MethodCall>* calls);

// Creates one control through the module's class factory and invokes each
// call through IDispatch, printing one JSON line per call. Returns the exit
// code: 0 when every call returned 0, 1 otherwise.
int RunCalls(const LoadedModule& module, const std::vector<MethodCall>& calls);

// `regsvr [-u] [-i[:CMDLINE]]` as the platform's registration tool.
int RunRegsvr(const LoadedModule& module, const std::vector<std::string>& options);
