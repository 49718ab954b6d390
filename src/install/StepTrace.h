// Step records of the installation operations: every checked step is
// recorded as "function - step" with its status, after a success as well
// as after a failure.
#pragma once

#include "base/Status.h"
#include "trace/Trace.h"

// Records the step with `status`; true when the status is a failure.
inline bool StepFailed(const char16_t* function, const char16_t* step, HRESULT status) {
  TraceStep(function, step, status);
  return FAILED(status);
}

// The status of a platform call that returned `ok` (S_OK, or its last
// error by the full rule), recorded as the step.
inline HRESULT PlatformStep(const char16_t* function, const char16_t* step, BOOL ok) {
  const HRESULT status = ok ? S_OK : FailedCallStatusFullRule();
  TraceStep(function, step, status);
  return status;
}
