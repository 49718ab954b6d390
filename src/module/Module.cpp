#include "module/Module.h"

#include "trace/Trace.h"

TRACE_COMPONENT("Module");

#ifdef _WIN32
void ReleaseCachedTypeInfo();
#endif

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

void ModuleAttach(HINSTANCE instance) {
  CKeyloomModule& m = Module();
  m.instance = instance;
  TraceInitialize();
  m.initialized = true;
  if (TraceEnabled(TRACE_FLAG_INFO)) TraceWrite(kTraceComponent, 10, TRACE_FLAG_INFO, {});
}

void ModuleThreadAttach() {
  if (TraceEnabled(TRACE_FLAG_INFO)) TraceWrite(kTraceComponent, 11, TRACE_FLAG_INFO, {});
}

void ModuleThreadDetach() {
  if (TraceEnabled(TRACE_FLAG_INFO)) TraceWrite(kTraceComponent, 12, TRACE_FLAG_INFO, {});
}

void ModuleDetach() {
  CKeyloomModule& m = Module();
  TraceShutdown();
  m.initialized = false;
  if (IClassFactory* factory = m.factory.exchange(nullptr)) factory->Release();
#ifdef _WIN32
  ReleaseCachedTypeInfo();
#endif
}
