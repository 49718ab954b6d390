#include "encoding/Base64.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

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

// The two characters of each 12-bit value: a group of three bytes is two
// lookups and two copies.
struct PairTable {
  char pair[4096][2];
  constexpr PairTable() : pair{} {
    for (int i = 0; i < 4096; ++i) {
      pair[i][0] = kAlphabet[i >> 6];
      pair[i][1] = kAlphabet[i & 0x3F];
    }
  }
};
constexpr PairTable kPairs;

// For each position in a group of four characters, the character's bits
// already placed in the three output bytes as they lie in a native 32-bit
// word, so that OR-ing four entries and copying the word writes the group.
// kBadChar marks a byte outside the alphabet in the word's fourth byte,
// which is zero for a valid group.
constexpr bool kLittle = std::endian::native == std::endian::little;
constexpr uint32_t kBadChar = kLittle ? 0xFF000000u : 0x000000FFu;
struct GroupTables {
  uint32_t at[4][256];
  constexpr GroupTables() : at{} {
    for (int c = 0; c < 256; ++c) {
      const int v = kDecode.value[c];
      for (int k = 0; k < 4; ++k) at[k][c] = kBadChar;
      if (v < 0) continue;
      const uint32_t u = static_cast<uint32_t>(v);
      // Big-endian word: the 24 bits in the top three bytes.
      const uint32_t big[4] = {u << 26, u << 20, u << 14, u << 8};
      for (int k = 0; k < 4; ++k)
        at[k][c] = kLittle ? ((big[k] >> 24) | ((big[k] >> 8) & 0xFF00u) | ((big[k] << 8) & 0xFF0000u))
                          : big[k];
    }
  }
};
constexpr GroupTables kGroups;

inline uint32_t DecodeGroup(const unsigned char* s) {
  return kGroups.at[0][s[0]] | kGroups.at[1][s[1]] | kGroups.at[2][s[2]] | kGroups.at[3][s[3]];
}

// Encodes `groups` whole groups of three bytes into 4 * groups characters.
void EncodeGroups(const BYTE* in, DWORD groups, char* out) {
  for (; groups >= 2; groups -= 2, in += 6, out += 8) {
    const uint32_t a = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    const uint32_t b = (uint32_t{in[3]} << 16) | (uint32_t{in[4]} << 8) | in[5];
    std::memcpy(out, kPairs.pair[a >> 12], 2);
    std::memcpy(out + 2, kPairs.pair[a & 0xFFF], 2);
    std::memcpy(out + 4, kPairs.pair[b >> 12], 2);
    std::memcpy(out + 6, kPairs.pair[b & 0xFFF], 2);
  }
  if (groups != 0) {
    const uint32_t a = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, kPairs.pair[a >> 12], 2);
    std::memcpy(out + 2, kPairs.pair[a & 0xFFF], 2);
  }
}

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
  // Every character is written below and the rest zeroed afterwards, so
  // the buffer is left as AllocZeroed leaves it without clearing it twice.
  char* out = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1));
  if (out == nullptr) return TracedStatus(kName, u"New Memory", E_OUTOFMEMORY);
  const bool crlf = !(flags & B64_NO_CRLF);
  constexpr DWORD kLineGroups = kLineChars / 4;
  const DWORD groups = length / 3;
  DWORD written = 0;
  // Breaks stand only between lines: one is written before a group that
  // starts a new line.
  for (DWORD done = 0; done < groups;) {
    const DWORD n = std::min(groups - done, crlf ? kLineGroups : groups);
    if (done != 0 && crlf) {
      out[written++] = '\r';
      out[written++] = '\n';
    }
    EncodeGroups(source + 3 * done, n, out + written);
    written += 4 * n;
    done += n;
  }
  const DWORD i = 3 * groups;
  const DWORD rest = length - i;
  if (rest != 0) {
    if (crlf && groups != 0 && groups % kLineGroups == 0) {
      out[written++] = '\r';
      out[written++] = '\n';
    }
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
  std::memset(out + written, 0, static_cast<size_t>(size) + 1 - written);
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
  // Zeroed past the decoded bytes at the end, as AllocZeroed leaves it.
  BYTE* out = static_cast<BYTE*>(std::malloc(static_cast<size_t>(length)));
  if (out == nullptr) return TracedStatus(kName, u"New Memory", E_OUTOFMEMORY);
  const auto* s = reinterpret_cast<const unsigned char*>(source);
  LONG pos = 0, written = 0;
  while (pos < length && s[pos] != 0) {
    // Fast path: runs of alphabet characters, sixteen and then eight at a
    // time. A character outside the alphabet (a zero byte too) ends the
    // run, and the checks below take over at that group. Each word copy
    // writes one zero byte past its group, which the next copy overwrites
    // or which stays inside the buffer (it holds `length` bytes, and at
    // most pos * 3 / 4 have been written).
    const LONG runStart = pos;
    for (; length - pos >= 16; pos += 16, written += 12) {
      const uint32_t a = DecodeGroup(s + pos), b = DecodeGroup(s + pos + 4),
                     c = DecodeGroup(s + pos + 8), d = DecodeGroup(s + pos + 12);
      if (((a | b | c | d) & kBadChar) != 0) break;
      std::memcpy(out + written, &a, 4);
      std::memcpy(out + written + 3, &b, 4);
      std::memcpy(out + written + 6, &c, 4);
      std::memcpy(out + written + 9, &d, 4);
    }
    for (; length - pos >= 8; pos += 8, written += 6) {
      const uint32_t a = DecodeGroup(s + pos), b = DecodeGroup(s + pos + 4);
      if (((a | b) & kBadChar) != 0) break;
      std::memcpy(out + written, &a, 4);
      std::memcpy(out + written + 3, &b, 4);
    }
    if (pos != runStart) continue;
    // Four alphabet characters in a row.
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
  std::memset(out + written, 0, static_cast<size_t>(length - written));
  *bytes = out;
  *count = written;
  return S_OK;
}
