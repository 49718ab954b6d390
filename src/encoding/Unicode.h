// UTF-8 <-> UTF-16 conversion used by the platform layers and tools.
//
// Ill-formed input (unpaired surrogates, bad UTF-8 sequences, overlong
// forms, code points above U+10FFFF) becomes U+FFFD; nothing is dropped
// silently and nothing is read past the input's end.
#pragma once

#include <string>
#include <string_view>

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// Length of a zero-terminated UTF-16 text (null counts as empty).
size_t WideLength(const char16_t* text);

// Whether `text` equals `word` without regard to ASCII letter case ("rsa"
// equals "RSA"; other characters compare exactly).
bool EqualsAsciiNoCase(std::u16string_view text, std::u16string_view word);
// The same for narrow text, each octet compared as one unit.
bool EqualsAsciiNoCase(std::string_view text, std::string_view word);

// `c` with an ASCII capital made small; every other unit as it is.
inline char16_t AsciiLower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}
