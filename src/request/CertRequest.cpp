#include "request/CertRequest.h"

#include <algorithm>
#include <cstring>

#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/Base64.h"
#include "encoding/Buffer.h"
#include "encoding/DerBuilder.h"
#include "encoding/DerEncoder.h"
#include "encoding/TextConversion.h"
#include "request/Sm2TempKey.h"
#include "request/SubjectName.h"
#include "trace/Trace.h"

TRACE_COMPONENT("CertRequest");

namespace {

constexpr DWORD kHashPiece = 16384;

// Appends the output of one composing step to `b`, tracing it under
// `function`. Result: the builder's status.
template <typename Step>
HRESULT Add(DerBuilder* b, const char16_t* function, const char16_t* stepText, Step step) {
  return TracedStatus(function, stepText, DerAddComposed(b, step));
}

}  // namespace

HRESULT ComposeSignAlgorithm(const char* signatureAlgorithm, BYTE** out, DWORD* outLength) {
  TraceHelper trace("ComposeSignAlgorithm");
  const HRESULT hr = ComposeSpecialAttribute(signatureAlgorithm, {}, out, outLength);
  return TracedStatus(u"ComposeSignAlgorithm", u"ComposeSpecialAttribute", hr);
}

HRESULT ComposeSignPublicKeyData(KeyAlgorithm keyAlgorithm, ByteView publicKey, BYTE** out,
                                 DWORD* outLength) {
  static constexpr char16_t kName[] = u"ComposeSignPublicKeyData";
  TraceHelper trace("ComposeSignPublicKeyData");
  const bool sm2 = keyAlgorithm == KeyAlgorithm::Sm2;
  DerBuilder parameter, b;
  HRESULT hr;
  if (sm2) {
    hr = Add(&parameter, kName, u"ComposeSpecialAttribute(SM2)", [&](BYTE** o, DWORD* n) {
      return ComposeObjectIdentifier(kOidSm2Curve, o, n);
    });
    if (FAILED(hr)) return hr;
  }
  const DerMark sequence = DerOpen(&b, kTagSequence);
  hr = Add(&b, kName, u"ComposeSpecialAttribute", [&](BYTE** o, DWORD* n) {
    return sm2 ? ComposeSpecialAttribute(kOidEcPublicKey, DerView(&parameter), o, n)
               : ComposeSpecialAttribute(kOidRsaEncryption, {}, o, n);
  });
  if (FAILED(hr)) return hr;
  hr = Add(&b, kName, u"ComposeBITString", [&](BYTE** o, DWORD* n) {
    return ComposeBITString(publicKey, o, n);
  });
  if (FAILED(hr)) return hr;
  DerClose(&b, sequence);
  return TracedStatus(kName, u"ASN1Encode", DerFinish(&b, out, outLength));
}

HRESULT ComposeAttributes(ByteView tempKey, BYTE** out, DWORD* outLength, DWORD attributeForm) {
  static constexpr char16_t kName[] = u"ComposeAttributes";
  TraceHelper trace("ComposeAttributes");
  const bool standard = attributeForm == kAttributesStandard;
  auto attribute = [standard](const char* oid, ByteView value) {
    return [=](BYTE** o, DWORD* n) {
      return standard ? ComposeStandardAttribute(oid, value, o, n)
                      : ComposeSpecialAttribute(oid, value, o, n);
    };
  };
  const char16_t* attributeStep =
      standard ? u"ComposeStandardAttribute" : u"ComposeSpecialAttribute";

  // [0] { challenge, temporaryKey }; the two attribute values come first.
  DerBuilder b, password, keySequence, keyWrapped;
  const DerMark attributes = DerOpen(&b, kTagContext0);
  HRESULT hr = Add(&password, kName, u"ComposeAnyString", [&](BYTE** o, DWORD* n) {
    return ComposeAnyString(
        CERT_RDN_PRINTABLE_STRING,
        {reinterpret_cast<const BYTE*>(kChallengePassword), sizeof kChallengePassword - 1}, o, n);
  });
  if (FAILED(hr)) return hr;
  hr = Add(&b, kName, attributeStep, attribute(kOidChallengePassword, DerView(&password)));
  if (FAILED(hr)) return hr;

  // SEQUENCE { 02 01 01, OCTET STRING key } inside an OCTET STRING.
  static const BYTE kVersionOne[] = {kTagInteger, 0x01, 0x01};
  const DerMark sequence = DerOpen(&keySequence, kTagSequence);
  DerAdd(&keySequence, kVersionOne);
  hr = Add(&keySequence, kName, u"ComposeAnyString", [&](BYTE** o, DWORD* n) {
    return ComposeAnyString(CERT_RDN_OCTET_STRING, tempKey, o, n);
  });
  if (FAILED(hr)) return hr;
  DerClose(&keySequence, sequence);
  hr = TracedStatus(kName, u"ASN1Encode", keySequence.status);
  if (FAILED(hr)) return hr;
  hr = Add(&keyWrapped, kName, u"ComposeAnyString", [&](BYTE** o, DWORD* n) {
    return ComposeAnyString(CERT_RDN_OCTET_STRING, DerView(&keySequence), o, n);
  });
  if (FAILED(hr)) return hr;
  hr = Add(&b, kName, attributeStep, attribute(kOidTemporaryKey, DerView(&keyWrapped)));
  if (FAILED(hr)) return hr;
  DerClose(&b, attributes);
  return TracedStatus(kName, u"ASN1Encode", DerFinish(&b, out, outLength));
}

HRESULT ComposeCertRequestInfo(const char16_t* subject, const RequestSettings& settings,
                               ByteView publicKey, ByteView tempKey, BYTE** out, DWORD* outLength) {
  static constexpr char16_t kName[] = u"ComposeCertRequestInfo";
  TraceHelper trace("ComposeCertRequestInfo");
  static const BYTE kVersionZero[] = {kTagInteger, 0x01, 0x00};
  DerBuilder b;
  DerReserve(&b, 1024);  // a 2048-bit request body with attributes
  const DerMark sequence = DerOpen(&b, kTagSequence);
  DerAdd(&b, kVersionZero);
  HRESULT hr = Add(&b, kName, u"ComposeSubject", [&](BYTE** o, DWORD* n) {
    return ComposeSubject(subject ? std::u16string_view(subject) : std::u16string_view(), o, n);
  });
  if (FAILED(hr)) return hr;
  hr = Add(&b, kName, u"ComposeSignPublicKeyData", [&](BYTE** o, DWORD* n) {
    return ComposeSignPublicKeyData(settings.algorithm, publicKey, o, n);
  });
  if (FAILED(hr)) return hr;
  if (tempKey.data() != nullptr) {
    hr = Add(&b, kName, u"ComposeAttributes", [&](BYTE** o, DWORD* n) {
      return ComposeAttributes(tempKey, o, n, settings.attributeForm);
    });
    if (FAILED(hr)) return hr;
  }
  DerClose(&b, sequence);
  return TracedStatus(kName, u"ASN1Encode", DerFinish(&b, out, outLength));
}

HRESULT PKCS10CalculateHashandSign(HCRYPTPROV provider, const RequestSettings& settings,
                                   ByteView data, BYTE** signature, DWORD* signatureLength) {
  static constexpr char16_t kName[] = u"PKCS10CalculateHashandSign";
  TraceHelper trace("PKCS10CalculateHashandSign");
  const Platform& p = Plat();
  auto failed = [&](const char16_t* step) {
    const HRESULT hr = FailedCallStatusWin32Rule();
    return TracedStatus(kName, step, hr);
  };

  KeyHandle key;
  if (!p.CryptGetUserKey(provider, settings.keySpec, &key.value)) {
    key.value = 0;
    return failed(u"CryptGetUserKey");
  }
  TraceStep(kName, u"CryptGetUserKey", S_OK);
  if (TraceEnabled(TRACE_FLAG_INFO)) {
    char name[256] = {};
    DWORD size = sizeof name - 1;
    if (p.CryptGetProvParam(provider, PP_NAME, reinterpret_cast<BYTE*>(name), &size, 0))
      TRACE_VALUE(static_cast<const char*>(name));
  }

  HashHandle hash;
  if (!p.CryptCreateHash(provider, settings.hashAlgorithm, 0, 0, &hash.value)) {
    hash.value = 0;
    return failed(u"CryptCreateHash");
  }
  TraceStep(kName, u"CryptCreateHash", S_OK);
  for (DWORD offset = 0; offset < data.size();) {
    const DWORD piece = std::min(kHashPiece, static_cast<DWORD>(data.size() - offset));
    if (!p.CryptHashData(hash.value, data.data() + offset, piece, 0))
      return failed(u"CryptHashData");
    offset += piece;
  }
  TraceStep(kName, u"CryptHashData", S_OK);

  DWORD size = 0;
  if (!p.CryptSignHashW(hash.value, settings.keySpec, nullptr, 0, nullptr, &size))
    return failed(u"CryptSignHash");
  const bool rsa = settings.algorithm == KeyAlgorithm::Rsa;
  DWORD capacity = rsa ? size : std::max(size, kHashPiece);
  ScopedBuffer<BYTE> buffer(AllocZeroed<BYTE>(capacity));
  if (!buffer) return TracedStatus(kName, u"New Memory", E_OUTOFMEMORY);
  if (!p.CryptSignHashW(hash.value, settings.keySpec, nullptr, 0, buffer.get(), &capacity))
    return failed(u"CryptSignHash");
  TraceStep(kName, u"CryptSignHash", S_OK);

  // The provider writes little-endian values.
  if (rsa) {
    SwapByteOrder(buffer.get(), capacity);
  } else if (capacity == 64) {
    std::reverse(buffer.get(), buffer.get() + 32);
    std::reverse(buffer.get() + 32, buffer.get() + 64);
  }
  *signature = buffer.release();
  *signatureLength = capacity;
  return S_OK;
}

HRESULT ComposeSignature(KeyAlgorithm algorithm, ByteView signature, BYTE** out, DWORD* outLength) {
  static constexpr char16_t kName[] = u"ComposeSignature";
  TraceHelper trace("ComposeSignature");
  if (algorithm == KeyAlgorithm::Rsa) {
    const HRESULT hr = ComposeBITString(signature, out, outLength);
    return TracedStatus(kName, u"ComposeBITString(RSA)", hr);
  }
  DerBuilder sequence;
  HRESULT hr = Add(&sequence, kName, u"SM2EncodeRawSignature", [&](BYTE** o, DWORD* n) {
    return SM2EncodeRawSignature(signature, o, n);
  });
  if (FAILED(hr)) return hr;
  hr = ComposeBITString(DerView(&sequence), out, outLength);
  return TracedStatus(kName, u"ComposeBITString(SM2)", hr);
}

HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(const char* text, DWORD length,
                                                        char** out, DWORD* outLength) {
  TraceHelper trace("TransformBase64EncodedDatatoHoldCRLFPer64Chars");
  if (text == nullptr || out == nullptr || outLength == nullptr) return E_POINTER;
  const size_t capacity = size_t{length} + length % 64 + 2 * (length / 64) + 1;
  ScopedBuffer<char> buffer(AllocZeroed<char>(capacity));
  if (!buffer)
    return TracedStatus(u"TransformBase64EncodedDatatoHoldCRLFPer64Chars", u"new memory failed.",
                        E_OUTOFMEMORY);
  char* w = buffer.get();
  DWORD line = 0;
  for (DWORD i = 0; i < length; ++i) {
    if (text[i] == '\r' || text[i] == '\n') continue;
    if (line != 0 && line % 64 == 0) {
      *w++ = '\r';
      *w++ = '\n';
      line = 0;
    }
    *w++ = text[i];
    ++line;
  }
  *outLength = static_cast<DWORD>(w - buffer.get());
  *out = buffer.release();
  return S_OK;
}

HRESULT PKCS10RequestBase64(const RequestSettings& settings, HCRYPTPROV provider,
                            const char16_t* subject, ByteView publicKey, ByteView tempKey,
                            char** request, DWORD* requestLength) {
  static constexpr char16_t kName[] = u"PKCS10RequestBase64";
  TraceHelper trace("PKCS10RequestBase64");
  if (publicKey.data() == nullptr || request == nullptr || requestLength == nullptr)
    return E_POINTER;

  // SM2: the point 04 || X || Y and the temporary key in the authority's form.
  BYTE point[65];
  BYTE tempStruct[kSm2TmpPublicKeyStructLength];
  if (settings.algorithm == KeyAlgorithm::Sm2) {
    if (publicKey.size() < kSm2PublicKeyBlobLength ||
        (tempKey.data() != nullptr && tempKey.size() < kSm2PublicKeyBlobLength)) {
      const HRESULT hr = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
      return TracedStatus(kName, u"SM2 public key blob", hr);
    }
    Sm2PublicPoint(publicKey.data(), point);
    publicKey = point;
    if (tempKey.data() != nullptr) {
      ComposeSm2TmpPublicKeyStruct(tempKey.data() + 8, tempStruct);
      tempKey = tempStruct;
    }
  }

  // SEQUENCE { body, algorithm, signature }, the body signed in place.
  DerBuilder b, signature;
  DerReserve(&b, 2048);  // a 2048-bit request with attributes
  const DerMark sequence = DerOpen(&b, kTagSequence);
  const size_t bodyStart = DerView(&b).size();
  HRESULT hr = Add(&b, kName, u"ComposeCertRequestInfo", [&](BYTE** o, DWORD* n) {
    return ComposeCertRequestInfo(subject, settings, publicKey, tempKey, o, n);
  });
  if (FAILED(hr)) return hr;
  const size_t bodyLength = DerView(&b).size() - bodyStart;
  hr = Add(&b, kName, u"ComposeSignAlgorithm", [&](BYTE** o, DWORD* n) {
    return ComposeSignAlgorithm(settings.signatureAlgorithm, o, n);
  });
  if (FAILED(hr)) return hr;
  hr = Add(&signature, kName, u"PKCS10CalculateHashandSign", [&](BYTE** o, DWORD* n) {
    const ByteView body = DerView(&b).subspan(bodyStart, bodyLength);
    return PKCS10CalculateHashandSign(provider, settings, body, o, n);
  });
  if (FAILED(hr)) return hr;
  hr = Add(&b, kName, u"PKCS10CalculateHashandSign", [&](BYTE** o, DWORD* n) {
    return ComposeSignature(settings.algorithm, DerView(&signature), o, n);
  });
  if (FAILED(hr)) return hr;
  DerClose(&b, sequence);
  BYTE* whole = nullptr;
  DWORD wholeLength = 0;
  hr = DerFinish(&b, &whole, &wholeLength);
  const ScopedBuffer<> wholeHolder(whole);
  TraceStep(kName, u"ASN1Encode", hr);
  if (FAILED(hr)) return hr;

  char* base64 = nullptr;
  DWORD base64Length = 0;
  hr = Base64EncodeEx(whole, wholeLength, &base64, &base64Length, 0);
  const ScopedBuffer<char> base64Holder(base64);
  TraceStep(kName, u"Base64EncodeEx", hr);
  if (FAILED(hr)) return hr;
  hr = TransformBase64EncodedDatatoHoldCRLFPer64Chars(base64, base64Length, request,
                                                      requestLength);
  return TracedStatus(kName, u"TransformBase64EncodedDatatoHoldCRLFPer64Chars", hr);
}
