// The text of a status, as GetLastErrorDesc returns it, and the thread's
// error object that carries it to a script engine.
#pragma once

#include <string>

#include "base/WinTypes.h"

// The module's string (s & 0xFFFF) for a status with the customer bit
// 0x20000000, the platform's system text otherwise, in the user's language;
// followed by "\n(0x%08x)". A status with no text gives the suffix alone.
// The result is at most 511 characters: a long text is cut so that the
// suffix always fits.
std::u16string DescribeStatus(HRESULT status);

// Makes a new error object the calling thread's (the platform's
// SetErrorInfo): description DescribeStatus(status), source the control's
// ProgID, GUID IID_ICryptoAgent. A script engine shows the description with
// the raised error. Best effort: when the platform cannot make the object,
// the thread's error object is left as it was. The thread holds the object;
// nothing is returned.
void ReportErrorInfo(HRESULT status);
