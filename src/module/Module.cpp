#include "module/Module.h"

#include "trace/Trace.h"

TRACE_COMPONENT("Module");

#ifdef _WIN32
void ReleaseCachedTypeInfo();
#endif

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
