// Methods whose operations are not part of this build yet: each answers
// E_NOTIMPL (stored as the last status like any other result) and writes
// no output.
#include "control/CryptoAgent.h"
#include "trace/Trace.h"

HRESULT CCryptoAgent::ZENQ_CheckCertificateChain(VARIANT_BOOL*) {
  TraceHelper trace("CCryptoAgent::ZENQ_CheckCertificateChain");
  return Finish(E_NOTIMPL);
}

