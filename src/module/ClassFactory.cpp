// The class factory of CryptoAgent: one per process, cached by the module.
#include <new>

#include "control/CryptoAgent.h"
#include "module/Module.h"
#include "trace/Trace.h"

TRACE_COMPONENT("ClassFactory");

namespace {

class CCryptoAgentFactory final : public IClassFactory {
 public:
  HRESULT KL_STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
      return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG KL_STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
  ULONG KL_STDMETHODCALLTYPE Release() override {
    const ULONG count = --m_refCount;
    if (count == 0) delete this;
    return count;
  }

  // A null `ppv` gives E_POINTER; an outer object that asks for anything
  // but IUnknown gives CLASS_E_NOAGGREGATION.
  HRESULT KL_STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    TraceHelper trace("CCryptoAgentFactory::CreateInstance");
    return CCryptoAgent::CreateInstance(outer, riid, ppv);
  }

  HRESULT KL_STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) ModuleLock();
    else ModuleUnlock();
    return S_OK;
  }

 private:
  std::atomic<ULONG> m_refCount{1};  // the module's reference
};

}  // namespace

IClassFactory* ModuleClassFactory() {
  CKeyloomModule& m = Module();
  if (IClassFactory* f = m.factory.load()) return f;
  std::lock_guard<std::mutex> guard(m.factoryLock);
  IClassFactory* f = m.factory.load();
  if (f == nullptr) {
    f = new (std::nothrow) CCryptoAgentFactory();
    m.factory.store(f);
  }
  return f;
}
