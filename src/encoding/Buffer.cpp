#include "encoding/Buffer.h"

#include "control/Status.h"

HRESULT FailureFromLastError() {
  const HRESULT status = Win32StatusFromLastError();
  return status < 0 ? status : E_FAIL;
}
