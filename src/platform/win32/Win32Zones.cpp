// Zone calls on the browser's URL security and zone managers that the
// caller created with CoCreateInstance.
#ifdef _WIN32


#include "platform/win32/Win32Table.h"

#include <urlmon.h>

namespace {

IInternetSecurityManager* Security(void* manager) {
  return static_cast<IInternetSecurityManager*>(manager);
}
IInternetZoneManager* Zones(void* manager) { return static_cast<IInternetZoneManager*>(manager); }

HRESULT SetZoneMappingImpl(void* manager, DWORD zone, const char16_t* pattern, DWORD flags) {
  if (manager == nullptr) return E_POINTER;
  return Security(manager)->SetZoneMapping(zone, W(pattern), flags);
}

HRESULT MapUrlToZoneImpl(void* manager, const char16_t* url, DWORD* zone, DWORD flags) {
  if (manager == nullptr) return E_POINTER;
  return Security(manager)->MapUrlToZone(W(url), zone, flags);
}

HRESULT GetZoneAttributesImpl(void* manager, DWORD zone, ZONEATTRIBUTES* attributes) {
  if (manager == nullptr) return E_POINTER;
  return Zones(manager)->GetZoneAttributes(zone, attributes);
}

HRESULT SetZoneAttributesImpl(void* manager, DWORD zone, const ZONEATTRIBUTES* attributes) {
  if (manager == nullptr || attributes == nullptr) return E_POINTER;
  ZONEATTRIBUTES copy = *attributes;
  return Zones(manager)->SetZoneAttributes(zone, &copy);
}

}  // namespace

void Win32FillZones(Platform& t) {
  t.SetZoneMapping = &SetZoneMappingImpl;
  t.GetZoneAttributes = &GetZoneAttributesImpl;
  t.SetZoneAttributes = &SetZoneAttributesImpl;
  t.MapUrlToZone = &MapUrlToZoneImpl;
}

#endif  // _WIN32
