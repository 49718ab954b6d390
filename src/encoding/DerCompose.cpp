// Composers over the platform's structure encoder.
#include <cstring>

#include "base/Platform.h"
#include "base/Status.h"
#include "encoding/ASN1Engine.h"
#include "encoding/Buffer.h"
#include "encoding/DerBuilder.h"
#include "encoding/DerEncoder.h"
#include "trace/Trace.h"

TRACE_COMPONENT("DerCompose");

namespace {

// The platform's blob form of a view (the platform does not write to it).
CRYPT_DATA_BLOB Blob(ByteView bytes) {
  return {static_cast<DWORD>(bytes.size()), const_cast<BYTE*>(bytes.data())};
}

// SEQUENCE { oid, value } from the attribute encoding SEQUENCE { oid, SET { value } }.
HRESULT StripAttributeSet(ByteView attribute, BYTE** out, DWORD* outLen) {
  static constexpr char16_t kName[] = u"ComposeSpecialAttribute";
  std::unique_ptr<ASN1Node> root;
  const int32_t decoded =
      DecodeASN1Memory(attribute.data(), static_cast<uint32_t>(attribute.size()), &root);
  // The decoder's unreadable-header result has its sign bit clear; the
  // attribute must still fail, with the system's decode status.
  HRESULT hr = decoded == 0 ? S_OK : decoded < 0 ? decoded : StatusFromErrorFullRule(decoded);
  if (SUCCEEDED(hr) && (root->children.size() != 2 || root->children[1]->children.empty()))
    hr = KL_E_ASN1_DECODE;
  TraceStep(kName, u"DecodeASN1Memory", hr);
  if (FAILED(hr)) return hr;

  // Each element again from its identifier and content.
  const ASN1Node& oid = *root->children[0];
  const ASN1Node& value = *root->children[1]->children[0];
  DerBuilder b;
  DerReserve(&b, attribute.size());  // the SET's header goes: never more
  const DerMark sequence = DerOpen(&b, kTagSequence);
  hr = ASN1EncodeInto(&b, oid.identifier, {oid.content(), oid.contentLength});
  TraceStep(kName, u"ASN1Encode-ObjectID", hr);
  if (FAILED(hr)) return hr;
  hr = ASN1EncodeInto(&b, value.identifier, {value.content(), value.contentLength});
  TraceStep(kName, u"ASN1Encode-AnyString", hr);
  if (FAILED(hr)) return hr;
  DerClose(&b, sequence);
  return TracedStatus(kName, u"ASN1Encode-Sequence", DerFinish(&b, out, outLen));
}

}  // namespace

HRESULT EncodeObject(LPCSTR structType, const void* structInfo, BYTE** out, DWORD* outLen) {
  static constexpr char16_t kName[] = u"EncodeObject";
  TraceHelper trace("EncodeObject");
  if (out == nullptr || outLen == nullptr) return E_POINTER;
  const Platform& p = Plat();
  DWORD size = 0;
  HRESULT hr = p.CryptEncodeObject(kEncodingType, structType, structInfo, nullptr, &size)
                   ? S_OK
                   : FailedCallStatusWin32Rule();
  TraceStep(kName, u"CryptEncodeObject - get length", hr);
  if (FAILED(hr)) return hr;

  ScopedBuffer<> buffer(AllocZeroed(size));
  if (!buffer) return TracedStatus(kName, u"New Memory", E_OUTOFMEMORY);
  DWORD written = size;
  hr = p.CryptEncodeObject(kEncodingType, structType, structInfo, buffer.get(), &written)
           ? S_OK
           : FailedCallStatusWin32Rule();
  TraceStep(kName, u"CryptEncodeObject - get value", hr);
  if (FAILED(hr)) return hr;
  *out = buffer.release();
  *outLen = written;
  return S_OK;
}

HRESULT ComposeAnyString(DWORD valueType, ByteView value, BYTE** out, DWORD* outLen) {
  TraceHelper trace("ComposeAnyString");
  CERT_NAME_VALUE info{};
  info.dwValueType = valueType;
  info.Value = Blob(value);
  const HRESULT hr = EncodeObject(X509_ANY_STRING, &info, out, outLen);
  return TracedStatus(u"ComposeAnyString", u"EncodeObject-PKCS_ATTRIBUTE", hr);
}

HRESULT ComposeBITString(ByteView data, BYTE** out, DWORD* outLen) {
  TraceHelper trace("ComposeBITString");
  CRYPT_BIT_BLOB blob{};
  blob.cbData = static_cast<DWORD>(data.size());
  blob.pbData = const_cast<BYTE*>(data.data());
  blob.cUnusedBits = 0;
  const HRESULT hr = EncodeObject(X509_BITS, &blob, out, outLen);
  return TracedStatus(u"ComposeBITString", u"EncodeObject", hr);
}

HRESULT ComposeStandardAttribute(const char* oid, ByteView value, BYTE** out, DWORD* outLen) {
  TraceHelper trace("ComposeStandardAttribute");
  CRYPT_ATTR_BLOB values[1] = {Blob(value)};
  CRYPT_ATTRIBUTE attribute{const_cast<char*>(oid), 1, values};
  const HRESULT hr = EncodeObject(PKCS_ATTRIBUTE, &attribute, out, outLen);
  return TracedStatus(u"ComposeStandardAttribute", u"EncodeObject-PKCS_ATTRIBUTE", hr);
}

HRESULT ComposeSpecialAttribute(const char* oid, ByteView value, BYTE** out, DWORD* outLen) {
  static constexpr char16_t kName[] = u"ComposeSpecialAttribute";
  TraceHelper trace("ComposeSpecialAttribute");
  if (out == nullptr || outLen == nullptr) return E_POINTER;
  const bool hasValue = value.data() != nullptr;
  CRYPT_ATTR_BLOB values[1] = {Blob(value)};
  CRYPT_ATTRIBUTE attribute{const_cast<char*>(oid), hasValue ? 1u : 0u, values};
  BYTE* encoded = nullptr;
  DWORD encodedLen = 0;
  HRESULT hr = EncodeObject(PKCS_ATTRIBUTE, &attribute, &encoded, &encodedLen);
  TraceStep(kName, u"EncodeObject-PKCS_ATTRIBUTE", hr);
  if (FAILED(hr)) return hr;
  ScopedBuffer<> holder(encoded);

  if (hasValue) return StripAttributeSet({encoded, encodedLen}, out, outLen);

  // No value: the attribute ends in the empty SET 31 00, which becomes the
  // NULL parameters 05 00 of an AlgorithmIdentifier.
  if (encodedLen < 4 || encoded[encodedLen - 2] != kTagSet || encoded[encodedLen - 1] != 0x00)
    return TracedStatus(kName, u"Check empty SET", E_FAIL);
  encoded[encodedLen - 2] = kTagNull;
  *out = holder.release();
  *outLen = encodedLen;
  return S_OK;
}

HRESULT ComposeObjectIdentifier(const char* oid, BYTE** out, DWORD* outLen) {
  static constexpr char16_t kName[] = u"ComposeObjectIdentifier";
  TraceHelper trace("ComposeObjectIdentifier");
  if (out == nullptr || outLen == nullptr) return E_POINTER;
  BYTE* sequence = nullptr;
  DWORD sequenceLen = 0;
  HRESULT hr = ComposeSpecialAttribute(oid, {}, &sequence, &sequenceLen);
  TraceStep(kName, u"ComposeSpecialAttribute", hr);
  if (FAILED(hr)) return hr;
  const ScopedBuffer<> holder(sequence);

  // SEQUENCE header, OBJECT IDENTIFIER element, 05 00.
  ASN1Header header;
  if (GetASN1ValueLength(sequence, 1, sequenceLen, &header) != 0 ||
      header.contentOffset + 2 >= sequenceLen)
    return TracedStatus(kName, u"Check SEQUENCE", E_FAIL);
  const DWORD start = static_cast<DWORD>(header.contentOffset);
  const DWORD length = sequenceLen - start - 2;
  BYTE* element = AllocZeroed(length);
  hr = element != nullptr ? S_OK : E_OUTOFMEMORY;
  TraceStep(kName, u"New buffer", hr);
  if (FAILED(hr)) return hr;
  std::memcpy(element, sequence + start, length);
  *out = element;
  *outLen = length;
  return S_OK;
}
