// The thread's error object of the soft platform: CreateErrorInfo makes one
// object that answers both ICreateErrorInfo and IErrorInfo, SetErrorInfo
// and GetErrorInfo keep one reference per thread, as the platform does.
#include <atomic>
#include <new>

#include "base/ComTypes.h"
#include "platform/soft/SoftTable.h"

namespace {

// Frees a BSTR field when replaced or destroyed.
struct OwnedBstr {
  BSTR text = nullptr;
  ~OwnedBstr() { SysFreeString(text); }
  HRESULT Set(const OLECHAR* value) {
    BSTR copy = value ? SysAllocString(value) : nullptr;
    if (value && !copy) return E_OUTOFMEMORY;
    SysFreeString(text);
    text = copy;
    return S_OK;
  }
  // A fresh copy for the caller (null stays null).
  HRESULT Copy(BSTR* out) const {
    if (out == nullptr) return E_POINTER;
    *out = text ? SysAllocStringLen(text, SysStringLen(text)) : nullptr;
    return (text && !*out) ? E_OUTOFMEMORY : S_OK;
  }
};

class ErrorObject final : public ICreateErrorInfo, public IErrorInfo {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ICreateErrorInfo)) {
      *ppv = static_cast<ICreateErrorInfo*>(this);
    } else if (IsEqualIID(riid, IID_IErrorInfo)) {
      *ppv = static_cast<IErrorInfo*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT SetGUID(REFGUID guid) override {
    guid_ = guid;
    return S_OK;
  }
  HRESULT SetSource(LPOLESTR source) override { return source_.Set(source); }
  HRESULT SetDescription(LPOLESTR text) override { return description_.Set(text); }
  HRESULT SetHelpFile(LPOLESTR file) override { return helpFile_.Set(file); }
  HRESULT SetHelpContext(DWORD context) override {
    helpContext_ = context;
    return S_OK;
  }

  HRESULT GetGUID(GUID* guid) override {
    if (guid == nullptr) return E_INVALIDARG;
    *guid = guid_;
    return S_OK;
  }
  HRESULT GetSource(BSTR* source) override { return source_.Copy(source); }
  HRESULT GetDescription(BSTR* text) override { return description_.Copy(text); }
  HRESULT GetHelpFile(BSTR* file) override { return helpFile_.Copy(file); }
  HRESULT GetHelpContext(DWORD* context) override {
    if (context == nullptr) return E_INVALIDARG;
    *context = helpContext_;
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
  GUID guid_{};
  OwnedBstr source_, description_, helpFile_;
  DWORD helpContext_ = 0;
};

// The thread's one reference, released when it is replaced or the thread
// ends.
struct ThreadErrorInfo {
  IErrorInfo* info = nullptr;
  ~ThreadErrorInfo() {
    if (info) info->Release();
  }
};
thread_local ThreadErrorInfo t_errorInfo;

HRESULT CreateErrorInfoImpl(ICreateErrorInfo** info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = new (std::nothrow) ErrorObject;
  return *info ? S_OK : E_OUTOFMEMORY;
}

HRESULT SetErrorInfoImpl(ULONG, IErrorInfo* info) {
  if (info) info->AddRef();
  IErrorInfo* previous = t_errorInfo.info;
  t_errorInfo.info = info;
  if (previous) previous->Release();
  return S_OK;
}

HRESULT GetErrorInfoImpl(ULONG, IErrorInfo** info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = t_errorInfo.info;  // the thread's reference passes to the caller
  t_errorInfo.info = nullptr;
  return *info ? S_OK : S_FALSE;
}

}  // namespace

void SoftFillErrorInfo(Platform& t) {
  t.CreateErrorInfo = &CreateErrorInfoImpl;
  t.SetErrorInfo = &SetErrorInfoImpl;
  t.GetErrorInfo = &GetErrorInfoImpl;
}
