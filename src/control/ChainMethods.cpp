// ZENQ_CheckCertificateChain: whether the RSA hierarchy the module carries
// is installed and sound on this machine.
#include "base/ModuleState.h"
#include "base/Status.h"
#include "control/CryptoAgent.h"
#include "encoding/Buffer.h"
#include "store/ChainCheck.h"
#include "store/ChainDocument.h"
#include "trace/Trace.h"

TRACE_COMPONENT("ChainMethods");

HRESULT CCryptoAgent::ZENQ_CheckCertificateChain(VARIANT_BOOL* bResult) {
  static constexpr char16_t kName[] = u"CCryptoAgent::ZENQ_CheckCertificateChain";
  TraceHelper trace("CCryptoAgent::ZENQ_CheckCertificateChain");
  if (bResult == nullptr) return Finish(E_POINTER);
  *bResult = VARIANT_FALSE;
  const Platform& p = Plat();
  HRESULT hr = p.CoInitialize(nullptr);
  if (FAILED(hr)) return Finish(TracedStatus(kName, u"CoInitialize.", hr));

  BYTE* documentRaw = nullptr;
  DWORD size = 0;
  hr = LoadModuleResource(Module().instance, u"CERTIFICATE", kRsaChainDocument, &documentRaw,
                          &size);
  const ScopedBuffer<> document(documentRaw);
  const uint32_t id = kRsaChainDocument;
  TRACE_VALUE(id, size);
  if (FAILED(hr)) {
    TraceStep(kName, u"LoadModuleResource", hr);
  } else {
    hr = CheckCertChainfromBlobData(document.get(), size);
    if (FAILED(hr)) {
      TraceStep(kName, u"CheckCertChainfromBlobData", hr);
    } else {
      *bResult = VARIANT_TRUE;
      hr = S_OK;
    }
  }
  p.CoUninitialize();
  return Finish(hr);
}
