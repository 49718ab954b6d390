// Base64 (RFC 4648 alphabet) for requests, keys and certificate texts.
//
// Outputs are allocated with AllocZeroed and released by the caller with
// FreeBuffer; on failure nothing is handed out.
#pragma once

#include "base/WinTypes.h"

constexpr DWORD B64_NO_PAD = 1;   // no "=" padding
constexpr DWORD B64_NO_CRLF = 2;  // one line, no CR LF

// Encodes `length` bytes as zero-terminated 8-bit text in lines of 76
// characters separated (never ended) by CR LF, padded with "=", unless the
// flags say otherwise. *textLength excludes the terminator. Sources above
// 536,870,911 bytes fail with E_FAIL; a null output, or a null source of
// non-zero length, with E_POINTER. An empty source gives an empty text.
HRESULT Base64EncodeEx(const BYTE* source, DWORD length, char** text, DWORD* textLength,
                       DWORD flags);

// Decodes `length` characters leniently: characters outside the alphabet
// ("=", CR, LF, spaces, bytes of 0x80 and above, zero bytes inside a group)
// are skipped; a zero byte where a group would begin ends the text. Never
// rejects content. A length of 0 or less fails with E_FAIL, a null source
// or output with E_POINTER. The buffer may be longer than *count.
HRESULT Base64DecodeEx(const char* source, LONG length, BYTE** bytes, LONG* count);
