// `keyloom reg query KEY [/s]`: the registry as the platform's Reg*
// entries see it (the soft registry, or the real one on Windows), one JSON
// object a line.
#pragma once

#include <string>
#include <vector>

// Runs `reg query`: one object for KEY ({"key", "values": [{"name",
// "type", "data"}], "subkeys": [names]}), and with /s one for every key
// below it, depth first in the platform's order. KEY starts with its root
// (HKCR, HKCU, HKLM, HKU or the long names). REG_SZ data is text,
// REG_DWORD a number, anything else upper-case hex. Returns the exit code
// (0 done, 1 failed: a missing key is 0x80070002; 2 usage).
int RunRegCommand(const std::vector<std::string>& args);
