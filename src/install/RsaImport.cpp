// The authority's RSA encryption key into the temporary key's container:
// the plain format as a PRIVATEKEYBLOB, the encrypted format by reference.
#include "install/RsaImport.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>

#include "base/ByteOrder.h"
#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/ASN1Engine.h"
#include "encoding/Buffer.h"
#include "encoding/DerBuilder.h"
#include "encoding/DerEncoder.h"
#include "install/SignCert.h"
#include "install/StepTrace.h"
#include "trace/Trace.h"

TRACE_COMPONENT("RsaImport");

namespace {

constexpr DWORD kRsa2Magic = 0x32415352;  // "RSA2"
constexpr DWORD kBlobHeaderSize = 20;     // BLOBHEADER + RSAPUBKEY
constexpr DWORD kReferenceBlobSize = 32;

// The RSAPrivateKey's elements, by position in its SEQUENCE.
enum : size_t {
  kModulus = 1,
  kPublicExponent = 2,
  kPrivateExponent = 3,
  kPrime1 = 4,
  kPrime2 = 5,
  kExponent1 = 6,
  kExponent2 = 7,
  kCoefficient = 8,
  kElementCount = 9,
};

// The seven private values, little-endian, each wiped when released.
struct PrivateValues {
  ScopedSecret modulus, prime1, prime2, exponent1, exponent2, coefficient, privateExponent;
};

// Copies one INTEGER element into `out` through CopyPrivateKeyAttribute.
HRESULT CopyElement(const ASN1Node& root, size_t index, ScopedSecret* out) {
  const ASN1Node& node = *root.children[index];
  BYTE* value = nullptr;
  DWORD length = 0;
  const HRESULT hr = CopyPrivateKeyAttribute(node.content(), node.contentLength, &value, &length);
  if (FAILED(hr)) return hr;
  out->reset(value, length);
  return S_OK;
}

// The decoded tree of a DER RSAPrivateKey with at least nine elements, or
// 0xA0071403. The decoder's own results (-1, or 0x20001041 with the sign
// bit clear) are not statuses: passed up, the second would read as success.
HRESULT DecodeRsaPrivateKey(const BYTE* der, DWORD length, std::unique_ptr<ASN1Node>* root) {
  const int32_t decoded = DecodeASN1Memory(der, length, root);
  if (decoded != 0) {
    TRACE_FAILURE(decoded);
    return KL_E_IMPORT_ENCRYPT_CERT;
  }
  const uint32_t count = static_cast<uint32_t>((*root)->children.size());
  if (count < kElementCount) {
    TRACE_FAILURE(count);
    return KL_E_IMPORT_ENCRYPT_CERT;
  }
  return S_OK;
}

HRESULT DecodeValues(const ASN1Node& root, PrivateValues* v) {
  const std::array<std::pair<size_t, ScopedSecret*>, 7> order = {{
      {kModulus, &v->modulus},
      {kPrivateExponent, &v->privateExponent},
      {kPrime1, &v->prime1},
      {kPrime2, &v->prime2},
      {kExponent1, &v->exponent1},
      {kExponent2, &v->exponent2},
      {kCoefficient, &v->coefficient},
  }};
  for (const auto& [index, out] : order) {
    const HRESULT hr = CopyElement(root, index, out);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// The publicExponent as a 32-bit number; false when it is negative, zero
// or longer than 32 bits (the blob has room for 32 bits only).
bool PublicExponent32(const ASN1Node& root, DWORD* exponent) {
  const ASN1Node& node = *root.children[kPublicExponent];
  const BYTE* p = node.content();
  uint32_t n = node.contentLength;
  if (n == 0 || (p[0] & 0x80) != 0) return false;
  while (n > 0 && p[0] == 0) ++p, --n;
  if (n == 0 || n > 4) return false;
  DWORD value = 0;
  for (uint32_t i = 0; i < n; ++i) value = (value << 8) | p[i];
  *exponent = value;
  return true;
}

// The private values at the lengths a blob of `bits` needs: the modulus
// n/8 and the primes n/16 exactly (they fix the key's length); the CRT
// exponents and coefficient at most n/16 and the private exponent at most
// n/8. Those four are numbers below a prime or the modulus and so are
// shorter in about one key of a hundred; their fields are zero-extended.
bool LengthsFit(DWORD bits, const PrivateValues& v) {
  const DWORD full = bits / 8, half = (bits + 15) / 16;
  if (bits == 0 || bits % 8 != 0) return false;
  return v.modulus.size() == full && v.prime1.size() == half && v.prime2.size() == half &&
         v.exponent1.size() <= half && v.exponent2.size() <= half && v.coefficient.size() <= half &&
         v.privateExponent.size() <= full;
}

}  // namespace

HRESULT CopyPrivateKeyAttribute(const BYTE* value, DWORD length, BYTE** out, DWORD* outLength) {
  if (length > 0 && value[0] == 0x00) ++value, --length;
  BYTE* copy = AllocZeroed<BYTE>(length);
  if (copy == nullptr)
    return TracedStatus(u"CopyPrivateKeyAttribute", u"New Memory", E_OUTOFMEMORY);
  for (DWORD i = 0; i < length; ++i) copy[i] = value[length - 1 - i];
  *out = copy;
  *outLength = length;
  return S_OK;
}

HRESULT DecodePrivateKey(const BYTE* der, DWORD length, BYTE** modulus, DWORD* modulusLength,
                         BYTE** prime1, DWORD* prime1Length, BYTE** prime2, DWORD* prime2Length,
                         BYTE** exponent1, DWORD* exponent1Length, BYTE** exponent2,
                         DWORD* exponent2Length, BYTE** coefficient, DWORD* coefficientLength,
                         BYTE** privateExponent, DWORD* privateExponentLength) {
  TraceHelper trace("DecodePrivateKey");
  std::unique_ptr<ASN1Node> root;
  HRESULT hr = DecodeRsaPrivateKey(der, length, &root);
  if (FAILED(hr)) return hr;
  PrivateValues v;
  hr = DecodeValues(*root, &v);
  if (FAILED(hr)) return hr;
  const std::array<std::tuple<ScopedSecret*, BYTE**, DWORD*>, 7> outputs = {{
      {&v.modulus, modulus, modulusLength},
      {&v.prime1, prime1, prime1Length},
      {&v.prime2, prime2, prime2Length},
      {&v.exponent1, exponent1, exponent1Length},
      {&v.exponent2, exponent2, exponent2Length},
      {&v.coefficient, coefficient, coefficientLength},
      {&v.privateExponent, privateExponent, privateExponentLength},
  }};
  for (const auto& [value, out, outLength] : outputs) {
    *outLength = value->size();
    *out = value->release();
  }
  return S_OK;
}

HRESULT getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(DWORD bits, const BYTE* der, DWORD length,
                                                BYTE** blob, DWORD* blobLength) {
  static constexpr char16_t kName[] = u"getMicrosoftSoftPkcs1PrivateKeyBlob_RSA";
  TraceHelper trace("getMicrosoftSoftPkcs1PrivateKeyBlob_RSA");
  std::unique_ptr<ASN1Node> root;
  PrivateValues v;
  HRESULT hr = DecodeRsaPrivateKey(der, length, &root);
  if (SUCCEEDED(hr)) hr = DecodeValues(*root, &v);
  if (StepFailed(kName, u"getMicrosoftSoftPkcs1PrivateKeyBlob_RSA-DecodePrivateKey", hr)) return hr;

  // The key's own exponent: a blob with another one holds a different key.
  DWORD exponent = 0;
  hr = PublicExponent32(*root, &exponent) ? S_OK : KL_E_IMPORT_ENCRYPT_CERT;
  if (StepFailed(kName, u"PKCS1 RSA public exponent", hr)) return hr;

  const DWORD full = bits / 8, half = (bits + 15) / 16;
  const DWORD size = kBlobHeaderSize + full + 5 * half + full;  // 9n/16 + 20, halves rounded up
  ScopedSecret out(AllocZeroed<BYTE>(size), size);
  if (out.get() == nullptr) return TracedStatus(kName, u"new memory", E_OUTOFMEMORY);
  BYTE* p = out.get();
  p[0] = PRIVATEKEYBLOB;
  p[1] = CUR_BLOB_VERSION;
  StoreLe32(p + 4, CALG_RSA_KEYX);
  StoreLe32(p + 8, kRsa2Magic);
  StoreLe32(p + 12, bits);
  StoreLe32(p + 16, exponent);

  if (!LengthsFit(bits, v)) {
    TRACE_FAILURE(bits, v.modulus.size(), v.prime1.size(), v.prime2.size(), v.exponent1.size(),
                  v.exponent2.size(), v.coefficient.size(), v.privateExponent.size());
    return TracedStatus(kName, u"PKCS1 RSA private key length", KL_E_IMPORT_ENCRYPT_CERT);
  }
  TraceStep(kName, u"PKCS1 RSA private key length", S_OK);
  // Each value little-endian at the start of its zero-filled field.
  p += kBlobHeaderSize;
  for (const auto& [value, width] : {std::pair{&v.modulus, full}, {&v.prime1, half}, {&v.prime2, half},
                                     {&v.exponent1, half}, {&v.exponent2, half},
                                     {&v.coefficient, half}, {&v.privateExponent, full}}) {
    std::memcpy(p, value->get(), value->size());
    p += width;
  }

  *blob = out.release();
  *blobLength = size;
  return S_OK;
}

HRESULT ImportEncryptCert_RSA(const std::u16string& providerName, HCRYPTPROV provider,
                              const std::u16string& containerName, DWORD bits,
                              const BYTE* certificate, DWORD certificateLength,
                              const BYTE* privateKeyDer, DWORD privateKeyDerLength,
                              DWORD importFlags) {
  static constexpr char16_t kName[] = u"ImportEncryptCert_RSA";
  TraceHelper trace("ImportEncryptCert_RSA");
  const Platform& p = Plat();
  BYTE* blobData = nullptr;
  DWORD blobLength = 0;
  HRESULT hr = getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(bits, privateKeyDer, privateKeyDerLength,
                                                       &blobData, &blobLength);
  ScopedSecret blob(blobData, blobLength);
  if (StepFailed(kName, u"getMicrosoftSoftPkcs1PrivateKeyBlob_RSA", hr)) return hr;

  KeyHandle key;
  const bool microsoft = IsMicrosoftProvider(providerName);
  const BOOL imported = p.CryptImportKey(provider, blob.get(), blob.size(), 0, importFlags, &key.value);
  if (!imported) key.value = 0;
  hr = PlatformStep(kName,
                    microsoft ? u"Microsoft CSP: CryptImportKey" : u"non-microsoft's CSP: CryptImportKey",
                    imported);
  if (FAILED(hr)) return hr;
  blob.reset();  // the key is in the provider now
  if (!microsoft)
    return PlatformStep(kName, u"non-microsoft's CSP: CryptSetKeyParam",
                        p.CryptSetKeyParam(key.value, KP_CERTIFICATE, certificate, 0));
  hr = AddCertificateToSystemStore(provider, certificate, certificateLength, AT_KEYEXCHANGE,
                                   containerName, providerName);
  StepFailed(kName, u"AddCertificateToSystemStore", hr);
  return hr;
}

HRESULT ComposeRSAEVPPrivateKey(const BYTE* sessionKey, DWORD sessionKeyLength,
                                const BYTE* privateKey, DWORD privateKeyLength, BYTE** out,
                                DWORD* outLength) {
  static constexpr char16_t kName[] = u"ComposeRSAEVPPrivateKey";
  TraceHelper trace("ComposeRSAEVPPrivateKey");
  static constexpr BYTE kVersion[] = {0x02, 0x01, 0x01};
  DerBuilder b;
  DerReserve(&b, 32 + size_t{sessionKeyLength} + privateKeyLength);
  const DerMark sequence = DerOpen(&b, kTagSequence);
  DerAdd(&b, kVersion);
  HRESULT hr = DerAddComposed(&b, [](BYTE** o, DWORD* n) {
    return ComposeObjectIdentifier("1.2.840.113549.1.1.1", o, n);
  });
  if (StepFailed(kName, u"ComposeObjectIdentifier -- AsymAlgID", hr)) return hr;
  hr = DerAddComposed(&b, [](BYTE** o, DWORD* n) {
    return ComposeObjectIdentifier("1.3.6.1.4.1.4929.1.7", o, n);
  });
  if (StepFailed(kName, u"ComposeObjectIdentifier -- SymAlgID", hr)) return hr;
  hr = DerAddComposed(&b, [&](BYTE** o, DWORD* n) {
    return ComposeAnyString(CERT_RDN_OCTET_STRING, ByteView(sessionKey, sessionKeyLength), o, n);
  });
  if (StepFailed(kName, u"ComposeAnyString -- pbEncryptedSessionKey", hr)) return hr;
  hr = DerAddComposed(&b, [&](BYTE** o, DWORD* n) {
    return ComposeAnyString(CERT_RDN_OCTET_STRING, ByteView(privateKey, privateKeyLength), o, n);
  });
  if (StepFailed(kName, u"ComposeAnyString -- pbEncryptedPrivateKey", hr)) return hr;
  DerClose(&b, sequence);
  hr = DerFinish(&b, out, outLength);
  StepFailed(kName, u"ASN1Encode", hr);
  return hr;
}

HRESULT ImportEncryptCertEx_RSA(HCRYPTPROV provider, DWORD bits, const BYTE* certificate,
                                DWORD certificateLength, const BYTE* sessionKey,
                                DWORD sessionKeyLength, const BYTE* privateKey,
                                DWORD privateKeyLength, DWORD importFlags) {
  static constexpr char16_t kName[] = u"ImportEncryptCertEx_RSA";
  TraceHelper trace("ImportEncryptCertEx_RSA");
  (void)certificateLength;  // KP_CERTIFICATE reads the length from the DER
  if (provider == 0) return TracedStatus(kName, u"Invalid parameter.", E_INVALIDARG);
  const Platform& p = Plat();

  BYTE* composedData = nullptr;
  DWORD composedLength = 0;
  HRESULT hr = ComposeRSAEVPPrivateKey(sessionKey, sessionKeyLength, privateKey,
                                       privateKeyLength, &composedData, &composedLength);
  if (FAILED(hr)) return hr;
  ScopedBuffer<BYTE> composed(composedData);

  // The provider reads the composed structure through the address while
  // CryptImportKey runs; `composed` outlives the call.
  ScopedBuffer<BYTE> reference(AllocZeroed<BYTE>(kReferenceBlobSize));
  if (!reference) return TracedStatus(kName, u"New buffer", E_OUTOFMEMORY);
  BYTE* r = reference.get();
  r[0] = PRIVATEKEYBLOB;
  r[1] = CUR_BLOB_VERSION;
  r[2] = 1;  // refers to its key material
  StoreLe32(r + 4, CALG_RSA_KEYX);
  StoreLe32(r + 8, CALG_RSA_KEYX);
  StoreLe32(r + 12, bits);
  StoreLe32(r + 16, composedLength * 8);
  const uint64_t address = reinterpret_cast<uintptr_t>(composed.get());
  for (int i = 0; i < 8; ++i) r[24 + i] = static_cast<BYTE>(address >> (8 * i));

  KeyHandle key;
  const BOOL imported = p.CryptImportKey(provider, r, kReferenceBlobSize, 0, importFlags, &key.value);
  if (!imported) key.value = 0;
  hr = PlatformStep(kName, u"ImportEncryptCertEx_RSA non-microsoft's CSP: CryptImportKey", imported);
  if (FAILED(hr)) return hr;
  return PlatformStep(kName, u"ImportEncryptCertEx_RSA non-microsoft's CSP: CryptSetKeyParam",
                      p.CryptSetKeyParam(key.value, KP_CERTIFICATE, certificate, 0));
}
