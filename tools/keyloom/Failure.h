// How the tool reports a failed command.
#pragma once

#include <string>

#include "base/WinTypes.h"

// Writes "keyloom WHAT: 0x%08x TEXT" on standard error, TEXT being the
// status's message on one line (left out when there is none). Returns 1,
// the exit status of a failed command.
int ReportFailure(const std::string& what, HRESULT status);
