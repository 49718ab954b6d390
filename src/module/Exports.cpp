// The module's exported entry points.
#include "control/CryptoAgent.h"
#include "module/Exports.h"
#include "module/Module.h"
#include "module/Registration.h"
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

STDAPI DllRegisterServer() {
  TraceHelper trace("DllRegisterServer");
  const HRESULT hr = RegisterComServer();
  InstallPrerequisites();
  return hr;
}

STDAPI DllUnregisterServer() {
  TraceHelper trace("DllUnregisterServer");
  return UnregisterComServer();
}

STDAPI DllInstall(BOOL install, const OLECHAR* commandLine) {
  TraceHelper trace("DllInstall");
  if (IsPerUserCommandLine(U16(commandLine))) Module().perUser = true;
  if (!install) return DllUnregisterServer();
  const HRESULT hr = DllRegisterServer();
  if (FAILED(hr)) DllUnregisterServer();
  return hr;
}
