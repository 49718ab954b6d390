#include "encoding/TextConversion.h"

#include <climits>
#include <cstring>

#include "base/Platform.h"
#include "encoding/Buffer.h"
#include "encoding/Unicode.h"
#include "trace/Trace.h"

TRACE_COMPONENT("TextConversion");

namespace {

// The two-call pattern of the platform's code-page conversions: measure
// (the terminator included), allocate that many zeroed units, convert.
// `convert(buffer, size)` returns the units written, or the size needed
// when size is 0; 0 is a failure with the last error set.
template <typename T, typename Convert>
HRESULT ConvertText(const char16_t* name, const char16_t* measureStep, const char16_t* convertStep,
                    Convert convert, T** out, DWORD* length) {
  const int size = convert(nullptr, 0);
  if (size <= 0) {
    const HRESULT hr = FailedCallStatusWin32Rule();
    return TracedStatus(name, measureStep, hr);
  }
  T* buffer = AllocZeroed<T>(static_cast<size_t>(size));
  if (buffer == nullptr) return TracedStatus(name, u"New Memory", E_OUTOFMEMORY);
  *out = buffer;
  if (convert(buffer, size) <= 0) {
    const HRESULT hr = FailedCallStatusWin32Rule();
    return TracedStatus(name, convertStep, hr);
  }
  *length = static_cast<DWORD>(size - 1);
  return S_OK;
}

}  // namespace

HRESULT UTF16ToUTF8(const char16_t* text, char** utf8, DWORD* length) {
  static constexpr char16_t kName[] = u"UTF16ToUTF8";
  TraceHelper trace("UTF16ToUTF8");
  if (text == nullptr || utf8 == nullptr || length == nullptr)
    return TracedStatus(kName, u"Check parameters", E_POINTER);
  const size_t units = WideLength(text) + 1;  // the terminator included
  if (units > INT_MAX) return E_FAIL;
  auto convert = [&](char* buffer, int size) {
    return Plat().WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), buffer, size,
                                      nullptr, nullptr);
  };
  return ConvertText(kName, u"WideCharToMultiByte - get length", u"WideCharToMultiByte - get value",
                     convert, utf8, length);
}

HRESULT UTF8ToUTF16(const char* text, char16_t** utf16, DWORD* length) {
  static constexpr char16_t kName[] = u"UTF8ToUTF16";
  TraceHelper trace("UTF8ToUTF16");
  if (text == nullptr || utf16 == nullptr || length == nullptr)
    return TracedStatus(kName, u"Check parameters", E_POINTER);
  const size_t bytes = std::strlen(text) + 1;  // the terminator included
  if (bytes > INT_MAX) return E_FAIL;
  auto convert = [&](char16_t* buffer, int size) {
    return Plat().MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(bytes), buffer, size);
  };
  return ConvertText(kName, u"MultiByteToWideChar - get length", u"MultiByteToWideChar - get value",
                     convert, utf16, length);
}

void SwapByteOrder(BYTE* buffer, DWORD length) {
  if (buffer == nullptr || length < 2) return;
  for (DWORD i = 0, j = length - 1; i < j; ++i, --j) {
    const BYTE t = buffer[i];
    buffer[i] = buffer[j];
    buffer[j] = t;
  }
}

HRESULT ConvertBinaryDataToString(const BYTE* data, DWORD length, char16_t** text) {
  TraceHelper trace("ConvertBinaryDataToString");
  if (text == nullptr || (data == nullptr && length != 0)) return E_POINTER;
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  char16_t* out = AllocZeroed<char16_t>(2 * static_cast<size_t>(length) + 1);
  if (out == nullptr)
    return TracedStatus(u"ConvertBinaryDataToString", u"Dispatch memory failed.", E_OUTOFMEMORY);
  size_t n = 0;
  for (DWORD i = length; i > 0; --i) {
    out[n++] = kDigits[data[i - 1] >> 4];
    out[n++] = kDigits[data[i - 1] & 0x0F];
  }
  *text = out;
  return S_OK;
}
