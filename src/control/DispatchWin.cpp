// IDispatch from the type library (Windows): the library KeyloomLib 1.0 is
// loaded once (registered, else from the module's own "TYPELIB" 1) and kept
// for the life of the module; Invoke goes through the platform's
// DispInvoke over the dual interface.
#ifdef _WIN32

#include <mutex>

#include "control/CryptoAgent.h"
#include "base/ModuleState.h"

namespace {

std::mutex g_typeInfoLock;
ITypeInfo* g_typeInfo = nullptr;

HRESULT LoadTypeInfo(ITypeInfo** info) {
  std::lock_guard<std::mutex> guard(g_typeInfoLock);
  if (g_typeInfo == nullptr) {
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadRegTypeLib(LIBID_KeyloomLib, 1, 0, 0, &lib);
    if (FAILED(hr)) {
      wchar_t path[MAX_PATH];
      if (GetModuleFileNameW(static_cast<HMODULE>(Module().instance), path, MAX_PATH) == 0)
        return HRESULT_FROM_WIN32(GetLastError());
      hr = LoadTypeLibEx(path, REGKIND_NONE, &lib);
      if (FAILED(hr)) return hr;
    }
    hr = lib->GetTypeInfoOfGuid(IID_ICryptoAgent, &g_typeInfo);
    lib->Release();
    if (FAILED(hr)) return hr;
  }
  *info = g_typeInfo;
  return S_OK;
}

}  // namespace

void ReleaseCachedTypeInfo() {
  std::lock_guard<std::mutex> guard(g_typeInfoLock);
  if (g_typeInfo) g_typeInfo->Release();
  g_typeInfo = nullptr;
}

HRESULT CCryptoAgent::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT CCryptoAgent::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  ITypeInfo* ti = nullptr;
  const HRESULT hr = LoadTypeInfo(&ti);
  if (FAILED(hr)) return hr;
  ti->AddRef();
  *info = ti;
  return S_OK;
}

HRESULT CCryptoAgent::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  ITypeInfo* ti = nullptr;
  const HRESULT hr = LoadTypeInfo(&ti);
  if (FAILED(hr)) return hr;
  return DispGetIDsOfNames(ti, names, count, ids);
}

HRESULT CCryptoAgent::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                             VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  ITypeInfo* ti = nullptr;
  const HRESULT hr = LoadTypeInfo(&ti);
  if (FAILED(hr)) return hr;
  return ti->Invoke(static_cast<ICryptoAgent*>(this), id, flags, params, result, excep, argErr);
}

#endif  // _WIN32
