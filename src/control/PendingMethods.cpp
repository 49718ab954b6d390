// A method whose operation is not part of this build yet: it answers
// E_NOTIMPL (stored as the last status like any other result) and writes
// no output.
#include "control/CryptoAgent.h"
#include "trace/Trace.h"

HRESULT CCryptoAgent::ZENQ_GetAllCertInfo(BSTR*) {
  TraceHelper trace("CCryptoAgent::ZENQ_GetAllCertInfo");
  return Finish(E_NOTIMPL);
}

