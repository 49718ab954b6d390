// Conversions between UTF-16 and UTF-8 text, byte reversal, and the
// reversed hexadecimal rendering of serial numbers.
//
// Outputs are allocated with AllocZeroed, released by the caller with
// FreeBuffer. Lengths never count the terminator.
#pragma once

#include "base/WinTypes.h"

// Zero-terminated UTF-16 to zero-terminated UTF-8 through the platform's
// conversion (code page 65001, flags 0: unpaired surrogates become U+FFFD).
// Null text: E_POINTER. A failing conversion returns the status of its last
// error; if it fails on the second call the buffer is still handed out.
HRESULT UTF16ToUTF8(const char16_t* text, char** utf8, DWORD* length);

// Zero-terminated UTF-8 to zero-terminated UTF-16 (ill-formed sequences
// become U+FFFD); *length counts UTF-16 units. Same failure rules.
HRESULT UTF8ToUTF16(const char* text, char16_t** utf16, DWORD* length);

// Reverses `length` bytes in place.
void SwapByteOrder(BYTE* buffer, DWORD length);

// The bytes from last to first as lower-case hexadecimal pairs ("%02x"),
// zero-terminated UTF-16: 01 AB gives "ab01".
HRESULT ConvertBinaryDataToString(const BYTE* data, DWORD length, char16_t** text);
