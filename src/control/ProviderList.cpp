#include "control/ProviderList.h"

#include "base/Platform.h"
#include "base/Status.h"
#include "encoding/Buffer.h"
#include "trace/Trace.h"

TRACE_COMPONENT("ProviderList");

namespace {
// A provider entry that cannot be read is skipped; this many unreadable
// entries in a row end the list, so that a platform that never answers
// ERROR_NO_MORE_ITEMS cannot hold the page forever.
constexpr DWORD kMaxUnreadableInARow = 16;
}  // namespace

HRESULT GetAllCSPName(std::u16string* list) {
  TraceHelper trace("GetAllCSPName");
  const Platform& p = Plat();
  std::u16string result;
  DWORD unreadable = 0;
  for (DWORD index = 0;; ++index) {
    DWORD type = 0, size = 0;
    if (!p.CryptEnumProvidersW(index, nullptr, 0, &type, nullptr, &size)) {
      if (p.GetLastError() == ERROR_NO_MORE_ITEMS || ++unreadable == kMaxUnreadableInARow) break;
      continue;  // a provider whose entry cannot be read is left out
    }
    unreadable = 0;
    ScopedBuffer<char16_t> name(AllocZeroed<char16_t>(size / sizeof(char16_t) + 1));
    if (!name) return TracedStatus(u"GetAllCSPName", u"New buffer", E_OUTOFMEMORY);
    if (!p.CryptEnumProvidersW(index, nullptr, 0, &type, name.get(), &size)) {
      const HRESULT hr = FailedCallStatusFullRule();
      return TracedStatus(u"GetAllCSPName", u"CryptEnumProviders", hr);
    }
    if (!result.empty()) result += u"||";
    result += name.get();
  }
  TRACE_VALUE(result.c_str());
  *list = std::move(result);
  return S_OK;
}

HRESULT GetProviderInfo(HCRYPTPROV provider, DWORD parameter, BYTE** buffer, DWORD* length) {
  TraceHelper trace("GetProviderInfo");
  const Platform& p = Plat();
  DWORD size = 0;
  if (!p.CryptGetProvParam(provider, parameter, nullptr, &size, 0)) {
    const HRESULT hr = StatusFromErrorWin32Rule(p.GetLastError());
    TraceStep(u"GetProviderInfo", u"CryptGetProvParam", hr);
    TRACE_FAILURE(static_cast<uint32_t>(hr));
    if (hr < 0) return hr;
  }
  if (size == 0) return E_FAIL;
  ScopedBuffer<BYTE> data(AllocZeroed<BYTE>(size));
  if (!data) return TracedStatus(u"GetProviderInfo", u"New Memory", E_OUTOFMEMORY);
  if (!p.CryptGetProvParam(provider, parameter, data.get(), &size, 0)) {
    const HRESULT hr = StatusFromErrorWin32Rule(p.GetLastError());
    TraceStep(u"GetProviderInfo", u"CryptGetProvParam", hr);
    TRACE_FAILURE(static_cast<uint32_t>(hr));
    if (hr < 0) return hr;
  }
  *buffer = data.release();
  *length = size;
  return S_OK;
}
