#include "base/Status.h"

#include "base/Platform.h"

HRESULT StatusFromLastError() { return StatusFromError(Plat().GetLastError()); }

HRESULT Win32StatusFromLastError() { return StatusFromWin32Error(Plat().GetLastError()); }

HRESULT StatusOfFailedCall() {
  const HRESULT status = StatusFromLastError();
  return status == S_OK ? E_FAIL : status;
}

HRESULT FailureFromLastError() {
  const HRESULT status = Win32StatusFromLastError();
  return status < 0 ? status : E_FAIL;
}
