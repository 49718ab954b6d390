#include "control/CryptoAgent.h"

#include <new>

#include "control/ErrorText.h"
#include "base/ModuleState.h"
#include "trace/Trace.h"

TRACE_COMPONENT("CryptoAgent");

std::u16string TrimSpaces(const char16_t* text, size_t length) {
  size_t begin = 0, end = length;
  while (begin < end && text[begin] == u' ') ++begin;
  while (end > begin && text[end - 1] == u' ') --end;
  return std::u16string(text + begin, end - begin);
}

bool IsMissing(BSTR text) { return text == nullptr || text[0] == 0; }

BSTR AllocBstr(const std::u16string& text) {
  return SysAllocStringLen(W(text.c_str()), static_cast<UINT>(text.size()));
}

CCryptoAgent::CCryptoAgent(IUnknown* outer) {
  m_inner.self = this;
  m_controlling = outer ? outer : &m_inner;
  ModuleLock();
}

CCryptoAgent::~CCryptoAgent() { ModuleUnlock(); }

HRESULT CCryptoAgent::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  // An aggregating object may only ask for the inner IUnknown.
  if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) CCryptoAgent(outer);
  if (object == nullptr) return E_OUTOFMEMORY;
  object->m_inner.AddRef();
  const HRESULT hr = object->m_inner.QueryInterface(riid, ppv);
  object->m_inner.Release();
  return hr;
}

HRESULT CCryptoAgent::InnerUnknown::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IUnknown*>(this);
  } else if (IsEqualIID(riid, IID_ICryptoAgent) || IsEqualIID(riid, IID_IDispatch)) {
    *ppv = static_cast<ICryptoAgent*>(self);
  } else if (IsEqualIID(riid, IID_IObjectSafety)) {
    *ppv = static_cast<IObjectSafety*>(self);
  } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
    *ppv = static_cast<ISupportErrorInfo*>(self);
  } else {
    return E_NOINTERFACE;
  }
  static_cast<IUnknown*>(*ppv)->AddRef();
  return S_OK;
}

ULONG CCryptoAgent::InnerUnknown::AddRef() { return ++self->m_refCount; }

ULONG CCryptoAgent::InnerUnknown::Release() {
  const ULONG count = --self->m_refCount;
  if (count == 0) delete self;
  return count;
}

HRESULT CCryptoAgent::QueryInterface(REFIID riid, void** ppv) {
  return m_controlling->QueryInterface(riid, ppv);
}
ULONG CCryptoAgent::AddRef() { return m_controlling->AddRef(); }
ULONG CCryptoAgent::Release() { return m_controlling->Release(); }

HRESULT CCryptoAgent::GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) {
  if (supported == nullptr || enabled == nullptr) return E_POINTER;
  IUnknown* probe = nullptr;
  const HRESULT hr = QueryInterface(riid, reinterpret_cast<void**>(&probe));
  if (FAILED(hr)) {
    *supported = 0;
    *enabled = 0;
    return hr;
  }
  probe->Release();
  *supported = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
  *enabled = m_dwCurrentSafety;
  return S_OK;
}

HRESULT CCryptoAgent::SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) {
  IUnknown* probe = nullptr;
  if (FAILED(QueryInterface(riid, reinterpret_cast<void**>(&probe)))) return E_NOINTERFACE;
  probe->Release();
  if (mask > (INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA))
    return E_FAIL;
  m_dwCurrentSafety = (m_dwCurrentSafety & ~mask) | (mask & enabled);
  return S_OK;
}

HRESULT CCryptoAgent::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_ICryptoAgent) ? S_OK : S_FALSE;
}

HRESULT CCryptoAgent::Finish(HRESULT status) {
  m_hrLastError = status;
  if (FAILED(status)) ReportErrorInfo(status);
  return status;
}

HRESULT CCryptoAgent::GetLastErrorDesc(BSTR* pbstrErrorDesc) {
  TraceHelper trace("CCryptoAgent::GetLastErrorDesc");
  if (pbstrErrorDesc == nullptr) return E_POINTER;
  const std::u16string text = DescribeStatus(m_hrLastError);
  TRACE_VALUE(text.c_str());
  *pbstrErrorDesc = AllocBstr(text);
  return *pbstrErrorDesc ? S_OK : E_OUTOFMEMORY;
}
