// Zone calls over the browser's URL security and zone managers, created in
// process for each call.
#ifdef _WIN32


#include "platform/win32/Win32Table.h"

#include <urlmon.h>

namespace {

template <typename T>
HRESULT Create(REFCLSID clsid, REFIID iid, T** out) {
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(out));
}

HRESULT SetZoneMappingImpl(DWORD zone, const char16_t* pattern, DWORD flags) {
  IInternetSecurityManager* manager = nullptr;
  HRESULT hr = Create(CLSID_InternetSecurityManager, IID_IInternetSecurityManager, &manager);
  if (FAILED(hr)) return hr;
  hr = manager->SetZoneMapping(zone, W(pattern), flags);
  manager->Release();
  return hr;
}

HRESULT GetZoneAttributesImpl(DWORD zone, ZONEATTRIBUTES* attributes) {
  IInternetZoneManager* manager = nullptr;
  HRESULT hr = Create(CLSID_InternetZoneManager, IID_IInternetZoneManager, &manager);
  if (FAILED(hr)) return hr;
  hr = manager->GetZoneAttributes(zone, attributes);
  manager->Release();
  return hr;
}

HRESULT SetZoneAttributesImpl(DWORD zone, const ZONEATTRIBUTES* attributes) {
  IInternetZoneManager* manager = nullptr;
  HRESULT hr = Create(CLSID_InternetZoneManager, IID_IInternetZoneManager, &manager);
  if (FAILED(hr)) return hr;
  ZONEATTRIBUTES copy = *attributes;
  hr = manager->SetZoneAttributes(zone, &copy);
  manager->Release();
  return hr;
}

}  // namespace

void Win32FillZones(Platform& t) {
  t.SetZoneMapping = &SetZoneMappingImpl;
  t.GetZoneAttributes = &GetZoneAttributesImpl;
  t.SetZoneAttributes = &SetZoneAttributesImpl;
}

#endif  // _WIN32
