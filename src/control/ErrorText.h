// The text of a status, as GetLastErrorDesc returns it.
#pragma once

#include <string>

#include "base/WinTypes.h"

// The module's string (s & 0xFFFF) for a status with the customer bit
// 0x20000000, the platform's system text otherwise, in the user's language;
// followed by "\n(0x%08x)". A status with no text gives the suffix alone.
// The result is at most 511 characters: a long text is cut so that the
// suffix always fits.
std::u16string DescribeStatus(HRESULT status);
