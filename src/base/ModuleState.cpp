#include "base/ModuleState.h"

namespace {
#ifdef _WIN32
// The C runtime constructs the DLL's globals before DllMain runs.
CKeyloomModule g_module;
#else
// Constant-initialized, so it is valid in the load hook, which may run
// before the library's dynamic initializers.
constinit CKeyloomModule g_module;
#endif
}  // namespace

CKeyloomModule& Module() { return g_module; }

LONG ModuleLock() { return ++Module().lockCount; }
LONG ModuleUnlock() { return --Module().lockCount; }
LONG ModuleLockCount() { return Module().lockCount.load(); }
