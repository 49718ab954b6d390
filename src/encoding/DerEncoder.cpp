// The tag-length-value writer and the SM2 signature value.
#include "encoding/DerEncoder.h"

#include <cstring>

#include "encoding/Buffer.h"
#include "encoding/DerBuilder.h"
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

// What ASN1Encode refuses: an identifier outside its table, and content
// that is empty or longer than 32 bits.
HRESULT CheckElement(BYTE identifier, uint64_t length) {
  static constexpr char16_t kName[] = u"ASN1Encode";
  if (!IsWritableIdentifier(identifier)) {
    const uint32_t id = identifier;
    TRACE_VALUE(u"ASN1Encode - identifier not supported", id);
    return TracedStatus(kName, u"Check identifier", E_FAIL);
  }
  if (length > 0xFFFFFFFFull) return TracedStatus(kName, u"Check length", E_FAIL);
  if (length == 0) {
    // The length octets of empty content are refused.
    TraceStep(u"CalculateASNValueLength", u"Check length", E_FAIL);
    return TracedStatus(kName, u"CalculateASNValueLength", E_FAIL);
  }
  return S_OK;
}

}  // namespace

HRESULT CalculateASNValueLength(DWORD contentLength, BYTE** out, DWORD* count) {
  TraceHelper trace("CalculateASNValueLength");
  if (out == nullptr || count == nullptr) return E_POINTER;
  if (contentLength == 0) return TracedStatus(u"CalculateASNValueLength", u"Check length", E_FAIL);
  BYTE octets[1 + sizeof(size_t)];
  const DWORD n = DerWriteLength(octets, contentLength);
  BYTE* buffer = AllocZeroed(n);
  if (buffer == nullptr)
    return TracedStatus(u"CalculateASNValueLength", u"New Memory", E_OUTOFMEMORY);
  std::memcpy(buffer, octets, n);
  *out = buffer;
  *count = n;
  return S_OK;
}

HRESULT ASN1EncodeInto(DerBuilder* builder, BYTE identifier, ByteView content) {
  if (FAILED(builder->status)) return builder->status;
  const HRESULT hr = CheckElement(identifier, content.size());
  if (FAILED(hr)) return DerFail(builder, hr);
  DerAddElement(builder, identifier, content);
  return builder->status;
}

HRESULT ASN1Encode(BYTE identifier, ByteView content, BYTE** out, DWORD* outLen) {
  const ByteView parts[] = {content};
  return ASN1EncodeParts(identifier, parts, out, outLen);
}

HRESULT ASN1EncodeParts(BYTE identifier, std::span<const ByteView> parts, BYTE** out,
                        DWORD* outLen) {
  TraceHelper trace("ASN1Encode");
  if (out == nullptr || outLen == nullptr) return E_POINTER;
  uint64_t length = 0;
  for (const ByteView part : parts) length += part.size();
  HRESULT hr = CheckElement(identifier, length);
  if (FAILED(hr)) return hr;
  DerBuilder b;
  DerReserve(&b, 1 + 5 + static_cast<size_t>(length));  // the exact size at most
  const DerMark element = DerOpen(&b, identifier);
  for (const ByteView part : parts) DerAdd(&b, part);
  DerClose(&b, element);
  hr = DerFinish(&b, out, outLen);
  if (FAILED(hr)) TraceStep(u"ASN1Encode", u"New Memory", hr);
  return hr;
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
  DerBuilder b;
  DerReserve(&b, 2 + 2 * (2 + sizeof r.octets));
  const DerMark sequence = DerOpen(&b, kTagSequence);
  DerAddElement(&b, kTagInteger, View(r));
  TraceStep(kName, r.padded ? u"ASN1Encode(1)" : u"ASN1Encode(2)", b.status);
  DerAddElement(&b, kTagInteger, View(s));
  TraceStep(kName, s.padded ? u"ASN1Encode(3)" : u"ASN1Encode(4)", b.status);
  DerClose(&b, sequence);
  return TracedStatus(kName, u"ASN1Encode(5)", DerFinish(&b, out, outLen));
}
