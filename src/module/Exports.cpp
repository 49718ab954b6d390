// The module's exported entry points.
#include "control/CryptoAgent.h"
#include "module/Module.h"
#include "trace/Trace.h"

TRACE_COMPONENT("Exports");

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  TraceHelper trace("DllGetClassObject");
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!Module().initialized) return E_UNEXPECTED;
  if (!IsEqualCLSID(rclsid, CLSID_CryptoAgent)) return CLASS_E_CLASSNOTAVAILABLE;
  IClassFactory* factory = ModuleClassFactory();
  if (factory == nullptr) return E_OUTOFMEMORY;
  return factory->QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() {
  TraceHelper trace("DllCanUnloadNow");
  return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

// Registration arrives with its own change; until then the entry points
// answer that they are not implemented.
STDAPI DllRegisterServer() {
  TraceHelper trace("DllRegisterServer");
  return E_NOTIMPL;
}

STDAPI DllUnregisterServer() {
  TraceHelper trace("DllUnregisterServer");
  return E_NOTIMPL;
}

STDAPI DllInstall(BOOL, const OLECHAR*) {
  TraceHelper trace("DllInstall");
  return E_NOTIMPL;
}
