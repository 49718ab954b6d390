// Fuzz target: Base64DecodeEx on arbitrary text. The decoder never fails on
// content, writes at most three octets per four characters, and what it
// produced encodes and decodes back to itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "encoding/Base64.h"
#include "encoding/Buffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 0x7FFFFFFF) return 0;
  const char* text = reinterpret_cast<const char*>(data);
  BYTE* bytes = nullptr;
  LONG count = -1;
  if (Base64DecodeEx(text, static_cast<LONG>(size), &bytes, &count) != S_OK) std::abort();
  const ScopedBuffer<> holder(bytes);
  if (count < 0 || static_cast<size_t>(count) > size * 3 / 4) std::abort();

  for (DWORD flags = 0; flags < 4; ++flags) {
    char* encoded = nullptr;
    DWORD encodedLen = 0;
    if (Base64EncodeEx(bytes, static_cast<DWORD>(count), &encoded, &encodedLen, flags) != S_OK)
      std::abort();
    const ScopedBuffer<char> encodedHolder(encoded);
    if (encoded[encodedLen] != 0) std::abort();
    if (count == 0) continue;
    BYTE* again = nullptr;
    LONG againCount = -1;
    if (Base64DecodeEx(encoded, static_cast<LONG>(encodedLen), &again, &againCount) != S_OK)
      std::abort();
    const ScopedBuffer<> againHolder(again);
    if (againCount != count || std::memcmp(again, bytes, static_cast<size_t>(count)) != 0)
      std::abort();
  }
  return 0;
}
