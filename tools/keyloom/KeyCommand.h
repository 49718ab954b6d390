// `keyloom key list [--provider NAME]`,
// `keyloom key delete --provider NAME --container NAME` and `key verify`
// (KeyVerify.h): the key containers of the user's providers, through the
// platform's provider calls.
#pragma once

#include <string>
#include <vector>

// Runs a key command; returns the exit code (0 done, 1 failed, 2 usage).
int RunKeyCommand(const std::vector<std::string>& args);
