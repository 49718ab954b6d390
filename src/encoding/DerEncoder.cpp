// The tag-length-value builder and the SM2 signature value.
#include "encoding/DerEncoder.h"

#include <cstring>

#include "encoding/Buffer.h"
#include "trace/Trace.h"

TRACE_COMPONENT("DerEncoder");

namespace {

bool IsWritableIdentifier(BYTE identifier) {
  switch (identifier) {
    case kTagInteger:
    case kTagOctetString:
    case kTagObjectIdentifier:
    case kTagUtf8String:
    case kTagPrintableString:
    case kTagIa5String:
    case kTagBmpString:
    case kTagSequence:
    case kTagSet:
    case kTagContext0Primitive:
    case kTagContext0:
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
IntegerContent MinimalInteger(std::span<const BYTE, 32> value) {
  size_t start = 0;
  while (start + 1 < value.size() && value[start] == 0 && value[start + 1] < 0x80) ++start;
  IntegerContent c{};
  c.padded = (value[start] & 0x80) != 0;
  if (c.padded) c.octets[c.length++] = 0;
  const ByteView rest = value.subspan(start);
  std::memcpy(c.octets + c.length, rest.data(), rest.size());
  c.length += static_cast<DWORD>(rest.size());
  return c;
}

ByteView View(const IntegerContent& c) { return {c.octets, c.length}; }

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

HRESULT ASN1Encode(BYTE identifier, ByteView content, BYTE** out, DWORD* outLen) {
  static constexpr char16_t kName[] = u"ASN1Encode";
  TraceHelper trace("ASN1Encode");
  if (out == nullptr || outLen == nullptr) return E_POINTER;
  if (!IsWritableIdentifier(identifier)) {
    const uint32_t id = identifier;
    TRACE_VALUE(u"ASN1Encode - identifier not supported", id);
    return TracedStatus(kName, u"Check identifier", E_FAIL);
  }
  if (content.size() > 0xFFFFFFFFu) return TracedStatus(kName, u"Check length", E_FAIL);
  const DWORD length = static_cast<DWORD>(content.size());
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
  std::memcpy(buffer + 1 + lengthCount, content.data(), length);
  *out = buffer;
  *outLen = static_cast<DWORD>(total);
  return S_OK;
}

HRESULT ASN1EncodeParts(BYTE identifier, std::span<const ByteView> parts, BYTE** out,
                        DWORD* outLen) {
  uint64_t total = 0;
  for (const ByteView part : parts) total += part.size();
  if (total > 0xFFFFFFFFull) return E_FAIL;
  ScopedBuffer<> content(AllocZeroed(static_cast<size_t>(total)));
  if (!content) return E_OUTOFMEMORY;
  size_t offset = 0;
  for (const ByteView part : parts) {
    if (part.empty()) continue;
    std::memcpy(content.get() + offset, part.data(), part.size());
    offset += part.size();
  }
  return ASN1Encode(identifier, {content.get(), static_cast<size_t>(total)}, out, outLen);
}

HRESULT SM2EncodeRawSignature(ByteView raw, BYTE** out, DWORD* outLen) {
  static constexpr char16_t kName[] = u"SM2EncodeRawSignature";
  TraceHelper trace("SM2EncodeRawSignature");
  if (out == nullptr || outLen == nullptr) return E_POINTER;
  const HRESULT sizeStatus =
      raw.data() != nullptr && raw.size() == 64 ? S_OK : HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  TraceStep(kName, u"Check SM2 raw signature size", sizeStatus);
  if (FAILED(sizeStatus)) return sizeStatus;

  const IntegerContent r = MinimalInteger(raw.first<32>());
  const IntegerContent s = MinimalInteger(raw.subspan<32, 32>());
  BYTE* rDer = nullptr;
  DWORD rLen = 0;
  HRESULT hr = ASN1Encode(kTagInteger, View(r), &rDer, &rLen);
  TraceStep(kName, r.padded ? u"ASN1Encode(1)" : u"ASN1Encode(2)", hr);
  if (FAILED(hr)) return hr;
  const ScopedBuffer<> rHolder(rDer);

  BYTE* sDer = nullptr;
  DWORD sLen = 0;
  hr = ASN1Encode(kTagInteger, View(s), &sDer, &sLen);
  TraceStep(kName, s.padded ? u"ASN1Encode(3)" : u"ASN1Encode(4)", hr);
  if (FAILED(hr)) return hr;
  const ScopedBuffer<> sHolder(sDer);

  const ByteView parts[] = {{rDer, rLen}, {sDer, sLen}};
  hr = ASN1EncodeParts(kTagSequence, parts, out, outLen);
  return TracedStatus(kName, u"ASN1Encode(5)", hr);
}
