#include "base/Status.h"

#include "base/Platform.h"

HRESULT LastErrorStatusFullRule() { return StatusFromErrorFullRule(Plat().GetLastError()); }

HRESULT LastErrorStatusWin32Rule() { return StatusFromErrorWin32Rule(Plat().GetLastError()); }

HRESULT FailedCallStatusFullRule() {
  const HRESULT status = LastErrorStatusFullRule();
  return status == S_OK ? E_FAIL : status;
}

HRESULT FailedCallStatusWin32Rule() {
  const HRESULT status = LastErrorStatusWin32Rule();
  return status < 0 ? status : E_FAIL;
}
