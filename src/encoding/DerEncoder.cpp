// The tag-length-value builder and the SM2 signature value.
#include "encoding/DerEncoder.h"

#include <cstring>

#include "encoding/Buffer.h"
#include "trace/Trace.h"

TRACE_COMPONENT("DerEncoder");

namespace {

bool IsWritableIdentifier(BYTE identifier) {
  switch (identifier) {
    case 0x02:
    case 0x04:
    case 0x06:
    case 0x0C:
    case 0x13:
    case 0x16:
    case 0x1E:
    case 0x30:
    case 0x31:
    case 0x80:
    case 0xA0:
      return true;
    default:
      return false;
  }
}

// The minimal two's-complement INTEGER content of an unsigned big-endian
// value: leading zero octets dropped while the next octet keeps the value
// positive, one 0x00 added when the top bit would make it negative.
struct IntegerContent {
  BYTE octets[33];
  DWORD length;
  bool padded;
};
IntegerContent MinimalInteger(const BYTE* value, DWORD length) {
  DWORD start = 0;
  while (start + 1 < length && value[start] == 0 && value[start + 1] < 0x80) ++start;
  IntegerContent c{};
  c.padded = (value[start] & 0x80) != 0;
  if (c.padded) c.octets[c.length++] = 0;
  std::memcpy(c.octets + c.length, value + start, length - start);
  c.length += length - start;
  return c;
}

}  // namespace

HRESULT CalculateASNValueLength(DWORD contentLength, BYTE** out, DWORD* count) {
  TraceHelper trace("CalculateASNValueLength");
  if (out == nullptr || count == nullptr) return E_POINTER;
  if (contentLength == 0) return TracedStatus(u"CalculateASNValueLength", u"Check length", E_FAIL);
  BYTE octets[5];
  DWORD n = 0;
  if (contentLength <= 0x7F) {
    octets[n++] = static_cast<BYTE>(contentLength);
  } else {
    DWORD k = 4;
    while ((contentLength >> (8 * (k - 1))) == 0) --k;
    octets[n++] = static_cast<BYTE>(0x80 | k);
    for (DWORD i = k; i > 0; --i) octets[n++] = static_cast<BYTE>(contentLength >> (8 * (i - 1)));
  }
  BYTE* buffer = AllocZeroed(n);
  if (buffer == nullptr)
    return TracedStatus(u"CalculateASNValueLength", u"New Memory", E_OUTOFMEMORY);
  std::memcpy(buffer, octets, n);
  *out = buffer;
  *count = n;
  return S_OK;
}

HRESULT ASN1Encode(BYTE identifier, const BYTE* content, DWORD length, BYTE** out, DWORD* outLen) {
  static constexpr char16_t kName[] = u"ASN1Encode";
  TraceHelper trace("ASN1Encode");
  if (out == nullptr || outLen == nullptr || (content == nullptr && length != 0)) return E_POINTER;
  if (!IsWritableIdentifier(identifier)) {
    const uint32_t id = identifier;
    TRACE_VALUE(u"ASN1Encode - identifier not supported", id);
    return TracedStatus(kName, u"Check identifier", E_FAIL);
  }
  BYTE* lengthOctets = nullptr;
  DWORD lengthCount = 0;
  HRESULT hr = CalculateASNValueLength(length, &lengthOctets, &lengthCount);
  TraceStep(kName, u"CalculateASNValueLength", hr);
  if (FAILED(hr)) return hr;
  const ScopedBuffer<> lengthHolder(lengthOctets);

  const uint64_t total = 1ull + lengthCount + length;
  if (total > 0xFFFFFFFFull) return TracedStatus(kName, u"Check length", E_FAIL);
  BYTE* buffer = AllocZeroed(static_cast<size_t>(total));
  if (buffer == nullptr) return TracedStatus(kName, u"New Memory", E_OUTOFMEMORY);
  buffer[0] = identifier;
  std::memcpy(buffer + 1, lengthOctets, lengthCount);
  std::memcpy(buffer + 1 + lengthCount, content, length);
  *out = buffer;
  *outLen = static_cast<DWORD>(total);
  return S_OK;
}

HRESULT ASN1EncodeParts(BYTE identifier, const ByteView* parts, size_t count, BYTE** out,
                        DWORD* outLen) {
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) total += parts[i].length;
  if (total > 0xFFFFFFFFull) return E_FAIL;
  ScopedBuffer<> content(AllocZeroed(static_cast<size_t>(total)));
  if (!content) return E_OUTOFMEMORY;
  size_t offset = 0;
  for (size_t i = 0; i < count; ++i) {
    if (parts[i].length == 0) continue;
    std::memcpy(content.get() + offset, parts[i].data, parts[i].length);
    offset += parts[i].length;
  }
  return ASN1Encode(identifier, content.get(), static_cast<DWORD>(total), out, outLen);
}

HRESULT SM2EncodeRawSignature(const BYTE* raw, DWORD rawLength, BYTE** out, DWORD* outLen) {
  static constexpr char16_t kName[] = u"SM2EncodeRawSignature";
  TraceHelper trace("SM2EncodeRawSignature");
  if (out == nullptr || outLen == nullptr) return E_POINTER;
  const HRESULT sizeStatus =
      raw != nullptr && rawLength == 64 ? S_OK : HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  TraceStep(kName, u"Check SM2 raw signature size", sizeStatus);
  if (FAILED(sizeStatus)) return sizeStatus;

  const IntegerContent r = MinimalInteger(raw, 32);
  const IntegerContent s = MinimalInteger(raw + 32, 32);
  BYTE* rDer = nullptr;
  DWORD rLen = 0;
  HRESULT hr = ASN1Encode(0x02, r.octets, r.length, &rDer, &rLen);
  TraceStep(kName, r.padded ? u"ASN1Encode(1)" : u"ASN1Encode(2)", hr);
  if (FAILED(hr)) return hr;
  const ScopedBuffer<> rHolder(rDer);

  BYTE* sDer = nullptr;
  DWORD sLen = 0;
  hr = ASN1Encode(0x02, s.octets, s.length, &sDer, &sLen);
  TraceStep(kName, s.padded ? u"ASN1Encode(3)" : u"ASN1Encode(4)", hr);
  if (FAILED(hr)) return hr;
  const ScopedBuffer<> sHolder(sDer);

  const ByteView parts[] = {{rDer, rLen}, {sDer, sLen}};
  hr = ASN1EncodeParts(0x30, parts, 2, out, outLen);
  return TracedStatus(kName, u"ASN1Encode(5)", hr);
}
