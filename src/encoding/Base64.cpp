#include "encoding/Base64.h"

#include "encoding/Buffer.h"
#include "trace/Trace.h"

TRACE_COMPONENT("Base64");

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr DWORD kLineChars = 76;

// Index of each character in the alphabet, -1 for every other byte.
struct DecodeTable {
  signed char value[256];
  constexpr DecodeTable() : value{} {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 64; ++i)
      value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  }
};
constexpr DecodeTable kDecode;

// Upper bound of the text length (terminator excluded) for n source bytes.
uint64_t EncodedBound(uint64_t n, DWORD flags) {
  uint64_t size = 4 * n / 3;
  if (!(flags & B64_NO_PAD)) size += n % 3;
  const uint64_t lines = size / kLineChars + 1;
  const uint64_t rest = size % kLineChars;
  if (rest != 0 && rest % 4 != 0) size += 4 - rest % 4;
  if (!(flags & B64_NO_CRLF)) size += 2 * lines;
  return size;
}

}  // namespace

HRESULT Base64EncodeEx(const BYTE* source, DWORD length, char** text, DWORD* textLength,
                       DWORD flags) {
  static constexpr char16_t kName[] = u"Base64EncodeEx";
  TraceHelper trace("Base64EncodeEx");
  if ((source == nullptr && length != 0) || text == nullptr || textLength == nullptr)
    return TracedStatus(kName, u"Check parameters", E_POINTER);
  if (4ull * length > 2147483647ull) return TracedStatus(kName, u"Check source length", E_FAIL);
  const uint64_t size = EncodedBound(length, flags);
  char* out = AllocZeroed<char>(static_cast<size_t>(size) + 1);
  if (out == nullptr) return TracedStatus(kName, u"New Memory", E_OUTOFMEMORY);
  const bool crlf = !(flags & B64_NO_CRLF);
  DWORD written = 0, groupsInLine = 0;
  // Breaks stand only between lines: one is written before a group that
  // starts a new line.
  auto lineBreak = [&] {
    if (groupsInLine == kLineChars / 4) {
      if (crlf) {
        out[written++] = '\r';
        out[written++] = '\n';
      }
      groupsInLine = 0;
    }
    ++groupsInLine;
  };
  DWORD i = 0;
  for (; i + 3 <= length; i += 3) {
    lineBreak();
    const uint32_t v = (uint32_t{source[i]} << 16) | (uint32_t{source[i + 1]} << 8) | source[i + 2];
    out[written] = kAlphabet[v >> 18];
    out[written + 1] = kAlphabet[(v >> 12) & 0x3F];
    out[written + 2] = kAlphabet[(v >> 6) & 0x3F];
    out[written + 3] = kAlphabet[v & 0x3F];
    written += 4;
  }
  const DWORD rest = length - i;
  if (rest != 0) {
    lineBreak();
    uint32_t v = uint32_t{source[i]} << 16;
    if (rest == 2) v |= uint32_t{source[i + 1]} << 8;
    out[written++] = kAlphabet[v >> 18];
    out[written++] = kAlphabet[(v >> 12) & 0x3F];
    if (rest == 2) out[written++] = kAlphabet[(v >> 6) & 0x3F];
    if (!(flags & B64_NO_PAD)) {
      out[written++] = '=';
      if (rest == 1) out[written++] = '=';
    }
  }
  *text = out;
  *textLength = written;
  return S_OK;
}

HRESULT Base64DecodeEx(const char* source, LONG length, BYTE** bytes, LONG* count) {
  static constexpr char16_t kName[] = u"Base64DecodeEx";
  TraceHelper trace("Base64DecodeEx");
  if (length <= 0) return TracedStatus(kName, u"Check source length", E_FAIL);
  if (source == nullptr || bytes == nullptr || count == nullptr)
    return TracedStatus(kName, u"Check parameters", E_POINTER);
  BYTE* out = AllocZeroed(static_cast<size_t>(length));
  if (out == nullptr) return TracedStatus(kName, u"New Memory", E_OUTOFMEMORY);
  const auto* s = reinterpret_cast<const unsigned char*>(source);
  LONG pos = 0, written = 0;
  while (pos < length && s[pos] != 0) {
    // Fast path: four alphabet characters in a row.
    if (length - pos >= 4) {
      const int a = kDecode.value[s[pos]], b = kDecode.value[s[pos + 1]],
                c = kDecode.value[s[pos + 2]], d = kDecode.value[s[pos + 3]];
      if ((a | b | c | d) >= 0) {
        const uint32_t v =
            (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
        out[written] = static_cast<BYTE>(v >> 16);
        out[written + 1] = static_cast<BYTE>(v >> 8);
        out[written + 2] = static_cast<BYTE>(v);
        written += 3;
        pos += 4;
        continue;
      }
    }
    uint32_t bits = 0;
    int valid = 0;
    for (; pos < length && valid < 4; ++pos) {
      const signed char v = kDecode.value[s[pos]];
      if (v < 0) continue;
      bits = (bits << 6) | static_cast<uint32_t>(v);
      ++valid;
    }
    bits <<= 6 * (4 - valid);  // left-align the group's bits in 24
    const int produced = 6 * valid / 8;
    for (int k = 0; k < produced; ++k) out[written++] = static_cast<BYTE>(bits >> (16 - 8 * k));
  }
  *bytes = out;
  *count = written;
  return S_OK;
}
