// Type library loading and registration through the platform's
// automation library. The per-user calls are looked up at run time: older
// systems lack them, and then they answer ERROR_CALL_NOT_IMPLEMENTED.
#ifdef _WIN32


#include "platform/win32/Win32Table.h"

#include <oleauto.h>

namespace {

ITypeLib* Lib(void* typeLib) { return static_cast<ITypeLib*>(typeLib); }

HRESULT LoadTypeLibExImpl(const char16_t* file, DWORD kind, void** typeLib) {
  if (typeLib == nullptr) return E_POINTER;
  *typeLib = nullptr;
  ITypeLib* lib = nullptr;
  const HRESULT hr = ::LoadTypeLibEx(W(file), static_cast<REGKIND>(kind), &lib);
  if (SUCCEEDED(hr)) *typeLib = lib;
  return hr;
}

HRESULT TypeLibAttributesImpl(void* typeLib, KlTypeLibAttr* attributes) {
  if (typeLib == nullptr || attributes == nullptr) return E_INVALIDARG;
  TLIBATTR* attr = nullptr;
  const HRESULT hr = Lib(typeLib)->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  *attributes = {attr->guid, attr->lcid, static_cast<DWORD>(attr->syskind), attr->wMajorVerNum,
                 attr->wMinorVerNum, attr->wLibFlags};
  Lib(typeLib)->ReleaseTLibAttr(attr);
  return S_OK;
}

using RegisterForUser = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using UnregisterForUser = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

template <typename F>
F Automation(const char* name) {
  HMODULE oleaut = ::GetModuleHandleW(L"oleaut32.dll");
  return oleaut ? reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(oleaut, name)))
                : nullptr;
}

HRESULT RegisterTypeLibImpl(void* typeLib, const char16_t* path, const char16_t* helpDir) {
  return ::RegisterTypeLib(Lib(typeLib), const_cast<wchar_t*>(W(path)),
                           const_cast<wchar_t*>(W(helpDir)));
}

HRESULT RegisterTypeLibForUserImpl(void* typeLib, const char16_t* path, const char16_t* helpDir) {
  auto f = Automation<RegisterForUser>("RegisterTypeLibForUser");
  if (f == nullptr) return HRESULT_FROM_WIN32(ERROR_CALL_NOT_IMPLEMENTED);
  return f(Lib(typeLib), const_cast<wchar_t*>(W(path)), const_cast<wchar_t*>(W(helpDir)));
}

HRESULT UnRegisterTypeLibImpl(REFGUID lib, WORD major, WORD minor, LCID lcid, DWORD kind) {
  return ::UnRegisterTypeLib(lib, major, minor, lcid, static_cast<SYSKIND>(kind));
}

HRESULT UnRegisterTypeLibForUserImpl(REFGUID lib, WORD major, WORD minor, LCID lcid, DWORD kind) {
  auto f = Automation<UnregisterForUser>("UnRegisterTypeLibForUser");
  if (f == nullptr) return HRESULT_FROM_WIN32(ERROR_CALL_NOT_IMPLEMENTED);
  return f(lib, major, minor, lcid, static_cast<SYSKIND>(kind));
}

}  // namespace

void Win32FillTypeLibs(Platform& t) {
  t.LoadTypeLibEx = &LoadTypeLibExImpl;
  t.TypeLibAttributes = &TypeLibAttributesImpl;
  t.RegisterTypeLib = &RegisterTypeLibImpl;
  t.RegisterTypeLibForUser = &RegisterTypeLibForUserImpl;
  t.UnRegisterTypeLib = &UnRegisterTypeLibImpl;
  t.UnRegisterTypeLibForUser = &UnRegisterTypeLibForUserImpl;
}

#endif  // _WIN32
