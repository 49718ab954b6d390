// Windows: how `keyloom-agent.exe --stop` asks the running agents of an
// install to exit. Each agent waits on an event named after its process
// id in the global namespace, so that an uninstall running as the system
// account reaches the agents of every session.
#pragma once

#include <string>

// The name of the stop event of the agent with process id `pid`.
std::wstring StopEventName(unsigned long pid);

// Asks every other running process whose image is the calling program's
// own file (keyloom-agent.exe of the same install) to exit and waits up to
// `waitMillis` for them; those still running then are ended, so that an
// uninstall can remove the file. Returns the number that had to be ended.
int StopAgentsOfThisInstall(unsigned long waitMillis);
