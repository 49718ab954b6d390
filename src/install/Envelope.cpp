// The authority's key envelope and certificate texts made binary. No
// cryptography here: the pieces are unwrapped by the import flows.
#include "install/Envelope.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "base/Status.h"
#include "encoding/ASN1Engine.h"
#include "encoding/Base64.h"
#include "encoding/Buffer.h"
#include "encoding/TextConversion.h"
#include "trace/Trace.h"

TRACE_COMPONENT("Envelope");

namespace {

constexpr size_t kNumberWidth = 16;
constexpr size_t kHeaderWidth = 3 * kNumberWidth;
constexpr LONG kSessionKey3Des = 306;  // CALG_3DES in decimal

bool IsBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// The three header fields, read in order; the first bad one ends the read.
HRESULT CheckHeader(const char16_t* function, const std::u16string& envelope, bool allowNoSession,
                    ALG_ID* algorithm) {
  if (envelope.size() < kHeaderWidth)
    return TracedStatus(function, u"Check encrypted data size.", KL_E_IMPORT_ENCRYPT_CERT);
  const char16_t* text = envelope.data();
  const LONG device = ReadEnvelopeNumber(text, kNumberWidth);
  if (device < 0 || device > 2)
    return TracedStatus(function, u"Invalid device type of generating encrypt cert key.",
                        KL_E_BAD_DEVICE_TYPE);
  const LONG encrypt = ReadEnvelopeNumber(text + kNumberWidth, kNumberWidth);
  if (encrypt != 1 && encrypt != 2)
    return TracedStatus(function, u"Invalid encrypt type used for encrypting private key.",
                        KL_E_BAD_ENCRYPT_TYPE);
  const LONG session = ReadEnvelopeNumber(text + 2 * kNumberWidth, kNumberWidth);
  if (session != kSessionKey3Des && !(allowNoSession && session == 0))
    return TracedStatus(function, u"Invalid session key type used for encrypting private key.",
                        KL_E_BAD_SESSION_KEY_TYPE);
  *algorithm = session == kSessionKey3Des ? static_cast<ALG_ID>(CALG_3DES) : 0;
  return S_OK;
}

// Both formats: the header, both fields, and the Base64 decoding of the
// private-key field always and of the session-key field only when the
// header announces a 3DES session key (the encrypted format may announce
// none).
HRESULT ReadEnvelope(const char16_t* function, const std::u16string& envelope, bool encrypted,
                     ALG_ID* algorithm, BYTE** sessionDer, DWORD* sessionDerLength,
                     BYTE** privateDer, DWORD* privateDerLength) {
  if (!algorithm || !sessionDer || !sessionDerLength || !privateDer || !privateDerLength)
    return E_POINTER;
  *algorithm = 0;
  *sessionDer = *privateDer = nullptr;
  *sessionDerLength = *privateDerLength = 0;

  ALG_ID read = 0;
  HRESULT hr = CheckHeader(function, envelope, encrypted, &read);
  if (FAILED(hr)) return hr;

  size_t cursor = kHeaderWidth;
  std::u16string sessionText, privateText;
  hr = GetBase64KeyFromEncryptedData(envelope, &cursor, &sessionText);
  TraceStep(function, u"get session key encoded with base64", hr);
  if (FAILED(hr)) return hr;
  hr = GetBase64KeyFromEncryptedData(envelope, &cursor, &privateText);
  TraceStep(function, u"get private key encoded with base64", hr);
  if (FAILED(hr)) return hr;

  BYTE* session = nullptr;
  DWORD sessionLength = 0;
  if (read == CALG_3DES) {
    hr = DecodeBase64Key(sessionText, &session, &sessionLength);
    TraceStep(function, u"base64 decode session key FAILED.", hr);
    if (FAILED(hr)) return hr;
  }
  ScopedBuffer<> sessionHolder(session);
  BYTE* privateKey = nullptr;
  DWORD privateLength = 0;
  hr = DecodeBase64Key(privateText, &privateKey, &privateLength);
  TraceStep(function, u"base64 decode private key FAILED.", hr);
  if (FAILED(hr)) return hr;

  *algorithm = read;
  *sessionDer = sessionHolder.release();
  *sessionDerLength = sessionLength;
  *privateDer = privateKey;
  *privateDerLength = privateLength;
  return S_OK;
}

// Both formats: the envelope's DER pieces, then the wrapped keys out of
// them (the session key only when one was decoded).
HRESULT ParseEnvelope(const char16_t* function, const std::u16string& envelope, bool encrypted,
                      ALG_ID* algorithm, BYTE** sessionKey, DWORD* sessionKeyLength,
                      BYTE** privateKey, DWORD* privateKeyLength) {
  if (!algorithm || !sessionKey || !sessionKeyLength || !privateKey || !privateKeyLength)
    return E_POINTER;
  *algorithm = 0;
  *sessionKey = *privateKey = nullptr;
  *sessionKeyLength = *privateKeyLength = 0;

  ALG_ID read = 0;
  BYTE *sessionDer = nullptr, *privateDer = nullptr;
  DWORD sessionDerLength = 0, privateDerLength = 0;
  HRESULT hr = encrypted ? GetSessionKeyandPrivateKeyASN1ObjEx(envelope, &read, &sessionDer,
                                                               &sessionDerLength, &privateDer,
                                                               &privateDerLength)
                         : GetSessionKeyandPrivateKeyASN1Obj(envelope, &read, &sessionDer,
                                                             &sessionDerLength, &privateDer,
                                                             &privateDerLength);
  const ScopedBuffer<> sessionDerHolder(sessionDer), privateDerHolder(privateDer);
  // Both formats record this step under the same text.
  TraceStep(function, u"GetSessionKeyandPrivateKeyASN1Obj", hr);
  if (FAILED(hr)) return hr;

  BYTE* session = nullptr;
  DWORD sessionLength = 0;
  if (read == CALG_3DES) {
    hr = GetSessionKeyorPrivateKeyFromASN1Obj(sessionDer, sessionDerLength, &session,
                                              &sessionLength);
    TraceStep(function, u"get session key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)",
              hr);
    if (FAILED(hr)) return hr;
  }
  ScopedBuffer<> sessionHolder(session);
  BYTE* wrapped = nullptr;
  DWORD wrappedLength = 0;
  hr = GetSessionKeyorPrivateKeyFromASN1Obj(privateDer, privateDerLength, &wrapped,
                                            &wrappedLength);
  TraceStep(function, u"get private key from ASN1 Obj(GetSessionKeyorPrivateKeyFromASN1Obj)", hr);
  if (FAILED(hr)) return hr;

  *algorithm = read;
  *sessionKey = sessionHolder.release();
  *sessionKeyLength = sessionLength;
  *privateKey = wrapped;
  *privateKeyLength = wrappedLength;
  return S_OK;
}

}  // namespace

LONG ReadEnvelopeNumber(const char16_t* text, size_t count) {
  size_t i = 0;
  while (i < count && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < count && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  // Accumulate the magnitude with a ceiling just past the 32-bit range, so
  // that any number of digits can be read without overflow.
  constexpr int64_t kCeiling = int64_t{1} << 32;
  int64_t magnitude = 0;
  for (; i < count && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - u'0');
    if (magnitude > kCeiling) magnitude = kCeiling;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<LONG>(value);
}

void EraseCommaInWstr(std::u16string* text) {
  if (text == nullptr) return;
  std::erase(*text, u',');
}

HRESULT DecodeBase64Key(const std::u16string& text, BYTE** der, DWORD* length) {
  if (der == nullptr || length == nullptr) return E_POINTER;
  *der = nullptr;
  *length = 0;
  char* utf8 = nullptr;
  DWORD utf8Length = 0;
  HRESULT hr = UTF16ToUTF8(text.c_str(), &utf8, &utf8Length);
  const ScopedBuffer<char> utf8Holder(utf8);
  if (FAILED(hr)) return hr;
  // Base64DecodeEx refuses a length of 0 or one that does not fit its
  // signed count.
  BYTE* bytes = nullptr;
  LONG count = 0;
  hr = Base64DecodeEx(utf8, utf8Length > 0x7FFFFFFFu ? -1 : static_cast<LONG>(utf8Length), &bytes,
                      &count);
  if (FAILED(hr)) {
    FreeBuffer(bytes);
    return hr;
  }
  *der = bytes;
  *length = static_cast<DWORD>(count);
  return S_OK;
}

HRESULT GetBase64KeyFromEncryptedData(const std::u16string& envelope, size_t* cursor,
                                      std::u16string* field) {
  static constexpr char16_t kName[] = u"GetBase64KeyFromEncryptedData";
  if (cursor == nullptr || field == nullptr) return E_POINTER;
  field->clear();
  const size_t remaining = *cursor < envelope.size() ? envelope.size() - *cursor : 0;
  if (remaining < kNumberWidth)
    return TracedStatus(kName, u"Check encrypted data size.", KL_E_IMPORT_ENCRYPT_CERT);

  const LONG length = ReadEnvelopeNumber(envelope.data() + *cursor, kNumberWidth);
  *cursor += kNumberWidth;
  if (length < 0 || static_cast<size_t>(length) > remaining - kNumberWidth)
    return TracedStatus(kName, u"GetBase64KeyFromEncryptedData-key's length is wrong",
                        KL_E_IMPORT_ENCRYPT_CERT);
  if (length == 0) return S_OK;

  std::u16string text = envelope.substr(*cursor, static_cast<size_t>(length));
  if (text.back() != u',')
    return TracedStatus(kName, u"Check endl character", KL_E_IMPORT_ENCRYPT_CERT);
  EraseCommaInWstr(&text);
  *field = std::move(text);
  *cursor += static_cast<size_t>(length);
  return S_OK;
}

HRESULT GetSessionKeyandPrivateKeyASN1Obj(const std::u16string& envelope, ALG_ID* algorithm,
                                          BYTE** sessionDer, DWORD* sessionDerLength,
                                          BYTE** privateDer, DWORD* privateDerLength) {
  TraceHelper trace("GetSessionKeyandPrivateKeyASN1Obj");
  return ReadEnvelope(u"GetSessionKeyandPrivateKeyASN1Obj", envelope, false, algorithm,
                      sessionDer, sessionDerLength, privateDer, privateDerLength);
}

HRESULT GetSessionKeyandPrivateKeyASN1ObjEx(const std::u16string& envelope, ALG_ID* algorithm,
                                            BYTE** sessionDer, DWORD* sessionDerLength,
                                            BYTE** privateDer, DWORD* privateDerLength) {
  TraceHelper trace("GetSessionKeyandPrivateKeyASN1ObjEx");
  return ReadEnvelope(u"GetSessionKeyandPrivateKeyASN1ObjEx", envelope, true, algorithm,
                      sessionDer, sessionDerLength, privateDer, privateDerLength);
}

HRESULT GetSessionKeyorPrivateKeyFromASN1Obj(const BYTE* der, DWORD length, BYTE** key,
                                             DWORD* keyLength) {
  static constexpr char16_t kName[] = u"GetSessionKeyorPrivateKeyFromASN1Obj";
  TraceHelper trace("GetSessionKeyorPrivateKeyFromASN1Obj");
  if (key == nullptr || keyLength == nullptr) return E_POINTER;
  *key = nullptr;
  *keyLength = 0;
  if (der == nullptr || length == 0)
    return TracedStatus(kName, u"DecodeASN1Memory", KL_E_IMPORT_ENCRYPT_CERT);

  std::unique_ptr<ASN1Node> root;
  if (DecodeASN1Memory(der, length, &root) != 0)
    return TracedStatus(kName, u"DecodeASN1Memory", KL_E_IMPORT_ENCRYPT_CERT);
  TraceStep(kName, u"DecodeASN1Memory", S_OK);
  if (root->children.size() != 2)
    return TracedStatus(kName, u"Level 1: 2 nodes(INTEGER and OCTET STRING can not be found",
                        KL_E_IMPORT_ENCRYPT_CERT);

  const ASN1Node& value = *root->children[1];
  BYTE* copy = AllocZeroed(value.contentLength);
  if (copy == nullptr) return TracedStatus(kName, u"new memory", E_OUTOFMEMORY);
  if (value.contentLength) std::memcpy(copy, value.content(), value.contentLength);
  *key = copy;
  *keyLength = value.contentLength;
  return S_OK;
}

HRESULT ParseEncryptCertPrivateKeyData(const std::u16string& envelope, ALG_ID* algorithm,
                                       BYTE** sessionKey, DWORD* sessionKeyLength,
                                       BYTE** privateKey, DWORD* privateKeyLength) {
  TraceHelper trace("ParseEncryptCertPrivateKeyData");
  return ParseEnvelope(u"ParseEncryptCertPrivateKeyData", envelope, false, algorithm, sessionKey,
                       sessionKeyLength, privateKey, privateKeyLength);
}

HRESULT ParseEncryptCertPrivateKeyDataEx(const std::u16string& envelope, ALG_ID* algorithm,
                                         BYTE** sessionKey, DWORD* sessionKeyLength,
                                         BYTE** privateKey, DWORD* privateKeyLength) {
  TraceHelper trace("ParseEncryptCertPrivateKeyDataEx");
  return ParseEnvelope(u"ParseEncryptCertPrivateKeyDataEx", envelope, true, algorithm, sessionKey,
                       sessionKeyLength, privateKey, privateKeyLength);
}

HRESULT ParseEncryptCertPublicKeyCert(std::u16string* certificateText, BYTE** certificate,
                                      DWORD* certificateLength) {
  static constexpr char16_t kName[] = u"ParseEncryptCertPublicKeyCert";
  TraceHelper trace("ParseEncryptCertPublicKeyCert");
  if (certificateText == nullptr) return E_POINTER;
  EraseCommaInWstr(certificateText);
  HRESULT hr = DecodeBase64Key(*certificateText, certificate, certificateLength);
  TraceStep(kName, u"base64 decode public key FAILED.", hr);
  if (FAILED(hr)) return hr;
  // The Base64 reader skips what is not Base64, so text that is none
  // still decodes. Refuse anything but one SEQUENCE { tbsCertificate,
  // signatureAlgorithm, signature } here: the import replaces the
  // container's temporary key before it binds the certificate, and a
  // failure then would cost the temporary key the envelope was made for.
  std::unique_ptr<ASN1Node> root;
  if (DecodeASN1Memory(*certificate, *certificateLength, &root) != 0 || root->identifier != 0x30 ||
      root->encodedLength != *certificateLength || root->children.size() != 3) {
    FreeBuffer(*certificate);
    *certificate = nullptr;
    *certificateLength = 0;
    hr = TracedStatus(kName, u"the certificate is not a DER certificate", KL_E_IMPORT_ENCRYPT_CERT);
  }
  return hr;
}
