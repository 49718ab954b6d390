#include "encoding/TextConversion.h"

#include "control/Platform.h"
#include "encoding/Buffer.h"
#include "encoding/Unicode.h"
#include "trace/Trace.h"

TRACE_COMPONENT("TextConversion");

HRESULT UTF16ToUTF8(const char16_t* text, char** utf8, DWORD* length) {
  static constexpr char16_t kName[] = u"UTF16ToUTF8";
  TraceHelper trace("UTF16ToUTF8");
  if (text == nullptr || utf8 == nullptr || length == nullptr) {
    TraceStep(kName, u"Check parameters", E_POINTER);
    return E_POINTER;
  }
  const Platform& p = Plat();
  const int units = static_cast<int>(WideLength(text) + 1);  // the terminator included
  const int size = p.WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
  if (size <= 0) {
    const HRESULT hr = FailureFromLastError();
    TraceStep(kName, u"WideCharToMultiByte - get length", hr);
    return hr;
  }
  char* out = AllocZeroed<char>(static_cast<size_t>(size));
  if (out == nullptr) {
    TraceStep(kName, u"New Memory", E_OUTOFMEMORY);
    return E_OUTOFMEMORY;
  }
  *utf8 = out;
  if (p.WideCharToMultiByte(CP_UTF8, 0, text, units, out, size, nullptr, nullptr) <= 0) {
    const HRESULT hr = FailureFromLastError();
    TraceStep(kName, u"WideCharToMultiByte - get value", hr);
    return hr;
  }
  *length = static_cast<DWORD>(size - 1);
  return S_OK;
}

HRESULT UTF8ToUTF16(const char* text, char16_t** utf16, DWORD* length) {
  static constexpr char16_t kName[] = u"UTF8ToUTF16";
  TraceHelper trace("UTF8ToUTF16");
  if (text == nullptr || utf16 == nullptr || length == nullptr) {
    TraceStep(kName, u"Check parameters", E_POINTER);
    return E_POINTER;
  }
  const Platform& p = Plat();
  size_t bytes = 0;
  while (text[bytes] != 0) ++bytes;
  const int count = static_cast<int>(bytes + 1);  // the terminator included
  const int units = p.MultiByteToWideChar(CP_UTF8, 0, text, count, nullptr, 0);
  if (units <= 0) {
    const HRESULT hr = FailureFromLastError();
    TraceStep(kName, u"MultiByteToWideChar - get length", hr);
    return hr;
  }
  char16_t* out = AllocZeroed<char16_t>(static_cast<size_t>(units));
  if (out == nullptr) {
    TraceStep(kName, u"New Memory", E_OUTOFMEMORY);
    return E_OUTOFMEMORY;
  }
  *utf16 = out;
  if (p.MultiByteToWideChar(CP_UTF8, 0, text, count, out, units) <= 0) {
    const HRESULT hr = FailureFromLastError();
    TraceStep(kName, u"MultiByteToWideChar - get value", hr);
    return hr;
  }
  *length = static_cast<DWORD>(units - 1);
  return S_OK;
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
  if (out == nullptr) {
    TraceStep(u"ConvertBinaryDataToString", u"Dispatch memory failed.", E_OUTOFMEMORY);
    return E_OUTOFMEMORY;
  }
  size_t n = 0;
  for (DWORD i = length; i > 0; --i) {
    out[n++] = kDigits[data[i - 1] >> 4];
    out[n++] = kDigits[data[i - 1] & 0x0F];
  }
  *text = out;
  return S_OK;
}
