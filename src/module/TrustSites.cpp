#include "module/TrustSites.h"

#include <cstring>

#include "base/Status.h"
#include "trace/Trace.h"

TRACE_COMPONENT("TrustSites");

namespace {

constexpr int kListRoom = 1024;
constexpr HRESULT kMappingExists = static_cast<HRESULT>(0x80070050);

// The security and zone managers for one pattern, released with COM.
// COM is uninitialized only when this call's initialization succeeded, so
// a thread whose apartment refused it keeps its own.
struct Managers {
  bool initialized = false;
  void* security = nullptr;
  void* zones = nullptr;
  ~Managers() {
    if (zones != nullptr) Plat().ComRelease(zones);
    if (security != nullptr) Plat().ComRelease(security);
    if (initialized) Plat().CoUninitialize();
  }
};

void TraceZone(const char16_t* when, const ZONEATTRIBUTES& a) {
  const uint32_t flags = a.dwFlags;
  TRACE_VALUE(when, flags, U16(a.szDisplayName), U16(a.szDescription));
}

HRESULT Map(void* security, const char16_t* pattern) {
  const HRESULT hr = Plat().SetZoneMapping(security, URLZONE_TRUSTED, pattern, SZM_CREATE);
  if (hr == kMappingExists) {
    TRACE_VALUE(u"mapping exists", pattern);
    return S_OK;
  }
  return hr;
}

}  // namespace

void SplitStrings(const char16_t* text, const char16_t* separator,
                  std::vector<std::u16string>* list) {
  if (text == nullptr || separator == nullptr || separator[0] == 0) return;
  const std::u16string_view all(text), sep(separator);
  size_t at = 0;
  while (at <= all.size()) {
    const size_t end = all.find(sep, at);
    const size_t stop = end == std::u16string_view::npos ? all.size() : end;
    if (stop == at) return;
    list->emplace_back(all.substr(at, stop - at));
    if (end == std::u16string_view::npos) return;
    at = end + sep.size();
  }
}

HRESULT AddTrustSite(const char16_t* pattern) {
  static const char16_t kName[] = u"AddTrustSite";
  TraceHelper trace("AddTrustSite");
  Managers m;
  m.initialized = SUCCEEDED(Plat().CoInitialize(nullptr));
  HRESULT hr = Plat().CoCreateInstance(CLSID_InternetSecurityManager, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IInternetSecurityManager, &m.security);
  if (FAILED(hr)) return TracedStatus(kName, u"CoCreateInstance - Security Manager", hr);
  hr = Plat().CoCreateInstance(CLSID_InternetZoneManager, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IInternetZoneManager, &m.zones);
  if (FAILED(hr)) return TracedStatus(kName, u"CoCreateInstance - Zone Manager", hr);
  ZONEATTRIBUTES a;
  std::memset(&a, 0, sizeof a);
  a.cbSize = sizeof a;
  hr = Plat().GetZoneAttributes(m.zones, URLZONE_TRUSTED, &a);
  if (FAILED(hr)) return TracedStatus(kName, u"GetZoneAttributes", hr);
  TraceZone(u"before", a);
  const bool verification = (a.dwFlags & ZAFLAGS_REQUIRE_VERIFICATION) != 0;
  TRACE_VALUE(u"verification required", static_cast<uint32_t>(verification));
  if (!verification) {
    hr = Map(m.security, pattern);
    if (FAILED(hr)) TraceStep(kName, u"SetZoneMapping", hr);
    return hr;
  }
  a.dwFlags &= ~static_cast<DWORD>(ZAFLAGS_REQUIRE_VERIFICATION);
  hr = Plat().SetZoneAttributes(m.zones, URLZONE_TRUSTED, &a);
  if (FAILED(hr)) return TracedStatus(kName, u"SetZoneAttributes", hr);
  TraceZone(u"cleared", a);
  const HRESULT mapped = Map(m.security, pattern);
  if (FAILED(mapped)) TraceStep(kName, u"SetZoneMapping", mapped);
  // Set the flag again whatever the mapping did: never leave the zone weaker.
  a.dwFlags |= ZAFLAGS_REQUIRE_VERIFICATION;
  hr = Plat().SetZoneAttributes(m.zones, URLZONE_TRUSTED, &a);
  if (FAILED(hr)) TraceStep(kName, u"SetZoneAttributes", hr);
  else TraceZone(u"restored", a);
  return FAILED(mapped) ? mapped : hr;
}

HRESULT LoadTrustSites(HINSTANCE module, UINT id, std::vector<std::u16string>* patterns) {
  char16_t text[kListRoom] = {};
  if (Plat().LoadStringW(module, id, text, kListRoom) == 0) {
    const HRESULT hr = LastErrorStatusWin32Rule();
    // Recorded as the loop's own step: the list is read on its behalf.
    TraceStep(u"AddTrustSites", u"LoadString", hr);
    if (FAILED(hr)) return hr;
  }
  SplitStrings(text, u"|", patterns);
  return S_OK;
}

HRESULT AddTrustSites(HINSTANCE module, UINT id) {
  static const char16_t kName[] = u"AddTrustSites";
  TraceHelper trace("AddTrustSites");
  std::vector<std::u16string> patterns;
  if (HRESULT hr = LoadTrustSites(module, id, &patterns); FAILED(hr)) return hr;
  for (const std::u16string& pattern : patterns) {
    const HRESULT hr = AddTrustSite(pattern.c_str());
    if (FAILED(hr)) return TracedStatus(kName, u"AddTrustSite", hr);
  }
  return S_OK;
}
