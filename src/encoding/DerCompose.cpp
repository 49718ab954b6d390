// Composers over the platform's structure encoder.
#include <cstring>

#include "base/Platform.h"
#include "base/Status.h"
#include "encoding/ASN1Engine.h"
#include "encoding/Buffer.h"
#include "encoding/DerEncoder.h"
#include "trace/Trace.h"

TRACE_COMPONENT("DerCompose");

namespace {

struct NodeDeleter {
  void operator()(ASN1Node* node) const { FreeASN1Node(node); }
};
using ScopedNode = std::unique_ptr<ASN1Node, NodeDeleter>;

// Re-encodes one decoded element from its identifier and content.
HRESULT Reencode(const ASN1Node* node, BYTE** out, DWORD* outLen) {
  return ASN1Encode(node->identifier, node->content(), node->contentLength, out, outLen);
}

// SEQUENCE { oid, value } from the attribute encoding SEQUENCE { oid, SET { value } }.
HRESULT StripAttributeSet(const BYTE* attribute, DWORD length, BYTE** out, DWORD* outLen) {
  static constexpr char16_t kName[] = u"ComposeSpecialAttribute";
  ASN1Node* rootNode = nullptr;
  const int32_t decoded = DecodeASN1Memory(attribute, length, &rootNode);
  const ScopedNode root(rootNode);
  // The decoder's unreadable-header result has its sign bit clear; the
  // attribute must still fail, with the system's decode status.
  HRESULT hr = decoded == 0 ? S_OK : decoded < 0 ? decoded : StatusFromErrorFullRule(decoded);
  if (SUCCEEDED(hr) && (root->children.size() != 2 || root->children[1]->children.empty()))
    hr = KL_E_ASN1_DECODE;
  TraceStep(kName, u"DecodeASN1Memory", hr);
  if (FAILED(hr)) return hr;

  BYTE* oid = nullptr;
  DWORD oidLen = 0;
  hr = Reencode(root->children[0], &oid, &oidLen);
  TraceStep(kName, u"ASN1Encode-ObjectID", hr);
  if (FAILED(hr)) return hr;
  const ScopedBuffer<> oidHolder(oid);

  BYTE* value = nullptr;
  DWORD valueLen = 0;
  hr = Reencode(root->children[1]->children[0], &value, &valueLen);
  TraceStep(kName, u"ASN1Encode-AnyString", hr);
  if (FAILED(hr)) return hr;
  const ScopedBuffer<> valueHolder(value);

  const ByteView parts[] = {{oid, oidLen}, {value, valueLen}};
  hr = ASN1EncodeParts(0x30, parts, 2, out, outLen);
  return TracedStatus(kName, u"ASN1Encode-Sequence", hr);
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

HRESULT ComposeAnyString(DWORD valueType, const BYTE* value, DWORD length, BYTE** out,
                         DWORD* outLen) {
  TraceHelper trace("ComposeAnyString");
  CERT_NAME_VALUE info{};
  info.dwValueType = valueType;
  info.Value.cbData = length;
  info.Value.pbData = const_cast<BYTE*>(value);
  const HRESULT hr = EncodeObject(X509_ANY_STRING, &info, out, outLen);
  return TracedStatus(u"ComposeAnyString", u"EncodeObject-PKCS_ATTRIBUTE", hr);
}

HRESULT ComposeBITString(const BYTE* data, DWORD length, BYTE** out, DWORD* outLen) {
  TraceHelper trace("ComposeBITString");
  CRYPT_BIT_BLOB blob{};
  blob.cbData = length;
  blob.pbData = const_cast<BYTE*>(data);
  blob.cUnusedBits = 0;
  const HRESULT hr = EncodeObject(X509_BITS, &blob, out, outLen);
  return TracedStatus(u"ComposeBITString", u"EncodeObject", hr);
}

HRESULT ComposeStandardAttribute(const char* oid, const BYTE* value, DWORD valueLength, BYTE** out,
                                 DWORD* outLen) {
  TraceHelper trace("ComposeStandardAttribute");
  CRYPT_ATTR_BLOB values[1] = {{valueLength, const_cast<BYTE*>(value)}};
  CRYPT_ATTRIBUTE attribute{const_cast<char*>(oid), 1, values};
  const HRESULT hr = EncodeObject(PKCS_ATTRIBUTE, &attribute, out, outLen);
  return TracedStatus(u"ComposeStandardAttribute", u"EncodeObject-PKCS_ATTRIBUTE", hr);
}

HRESULT ComposeSpecialAttribute(const char* oid, const BYTE* value, DWORD valueLength, BYTE** out,
                                DWORD* outLen) {
  static constexpr char16_t kName[] = u"ComposeSpecialAttribute";
  TraceHelper trace("ComposeSpecialAttribute");
  if (out == nullptr || outLen == nullptr) return E_POINTER;
  CRYPT_ATTR_BLOB values[1] = {{valueLength, const_cast<BYTE*>(value)}};
  CRYPT_ATTRIBUTE attribute{const_cast<char*>(oid), value != nullptr ? 1u : 0u, values};
  BYTE* encoded = nullptr;
  DWORD encodedLen = 0;
  HRESULT hr = EncodeObject(PKCS_ATTRIBUTE, &attribute, &encoded, &encodedLen);
  TraceStep(kName, u"EncodeObject-PKCS_ATTRIBUTE", hr);
  if (FAILED(hr)) return hr;
  ScopedBuffer<> holder(encoded);

  if (value != nullptr) return StripAttributeSet(encoded, encodedLen, out, outLen);

  // No value: the attribute ends in the empty SET 31 00, which becomes the
  // NULL parameters 05 00 of an AlgorithmIdentifier.
  if (encodedLen < 4 || encoded[encodedLen - 2] != 0x31 || encoded[encodedLen - 1] != 0x00)
    return TracedStatus(kName, u"Check empty SET", E_FAIL);
  encoded[encodedLen - 2] = 0x05;
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
  HRESULT hr = ComposeSpecialAttribute(oid, nullptr, 0, &sequence, &sequenceLen);
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
