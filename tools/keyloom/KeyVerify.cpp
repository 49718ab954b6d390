#include "keyloom/KeyVerify.h"

#include <cstdio>
#include <cstring>

#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/Buffer.h"
#include "encoding/DerBuilder.h"
#include "encoding/DerEncoder.h"
#include "encoding/Unicode.h"
#include "keyloom/Failure.h"
#include "request/CertRequest.h"
#include "request/Sm2TempKey.h"

namespace {

using Octets = std::vector<BYTE>;
constexpr DWORD kRandomSize = 32;
constexpr char16_t kEnhancedProvider[] = u"Microsoft Enhanced Cryptographic Provider v1.0";

// Takes an output of the DER writer or the request signer into a vector.
Octets Take(BYTE* data, DWORD length) {
  const ScopedBuffer<BYTE> holder(data);
  return data ? Octets(data, data + length) : Octets();
}

// A CERT_PUBLIC_KEY_INFO with storage of its own.
struct PublicKey {
  std::string oid;
  Octets parameters;  // the complete encoding, or empty
  Octets key;         // the BIT STRING content (no unused bits)
  CERT_PUBLIC_KEY_INFO Info() {
    CERT_PUBLIC_KEY_INFO info{};
    info.Algorithm.pszObjId = oid.data();
    info.Algorithm.Parameters = {static_cast<DWORD>(parameters.size()), parameters.data()};
    info.PublicKey = {static_cast<DWORD>(key.size()), key.data(), 0};
    return info;
  }
  // The same key, whichever identifier names its algorithm (SM2 keys
  // appear under id-ecPublicKey and under the SM2 identifier itself).
  bool operator==(const PublicKey& other) const { return key == other.key; }
};

PublicKey CopyOf(const CERT_PUBLIC_KEY_INFO& info) {
  const auto bytes = [](const BYTE* p, DWORD n) { return p ? Octets(p, p + n) : Octets(); };
  return {info.Algorithm.pszObjId ? info.Algorithm.pszObjId : "",
          bytes(info.Algorithm.Parameters.pbData, info.Algorithm.Parameters.cbData),
          bytes(info.PublicKey.pbData, info.PublicKey.cbData)};
}

// The public half of the container key as the platform exports it: the
// RSA key's info, or id-ecPublicKey with the SM2 curve and the point of
// the SM2 PUBLICKEYBLOB.
HRESULT ExportPublicKey(HCRYPTPROV provider, HCRYPTKEY key, DWORD spec, bool sm2,
                        PublicKey* out) {
  const Platform& p = Plat();
  DWORD size = 0;
  if (sm2) {
    if (!p.CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size))
      return FailedCallStatusFullRule();
    Octets blob(size);
    if (!p.CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size))
      return FailedCallStatusFullRule();
    if (size < 140) return NTE_BAD_KEY;
    BYTE point[65];
    Sm2PublicPoint(blob.data(), point);
    BYTE* curve = nullptr;
    DWORD curveLength = 0;
    if (HRESULT hr = ComposeObjectIdentifier(kOidSm2Curve, &curve, &curveLength); FAILED(hr))
      return hr;
    *out = {kOidEcPublicKey, Take(curve, curveLength), Octets(point, point + sizeof point)};
    return S_OK;
  }
  if (!p.CryptExportPublicKeyInfo(provider, spec, kEncodingType, nullptr, &size))
    return FailedCallStatusFullRule();
  ScopedBuffer<BYTE> buffer(AllocZeroed<BYTE>(size));
  if (!buffer) return E_OUTOFMEMORY;
  auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.get());
  if (!p.CryptExportPublicKeyInfo(provider, spec, kEncodingType, info, &size))
    return FailedCallStatusFullRule();
  *out = CopyOf(*info);
  return S_OK;
}

// SEQUENCE { SEQUENCE { OCTET STRING random }, AlgorithmIdentifier, BIT
// STRING signature }: a fresh random value signed by the container's key
// of `spec` in the form the platform's signature check reads.
HRESULT SignRandom(HCRYPTPROV provider, DWORD spec, bool sm2, Octets* signedBlob) {
  BYTE random[kRandomSize];
  if (!Plat().CryptGenRandom(provider, sizeof random, random)) return FailedCallStatusFullRule();
  RequestSettings settings;
  settings.algorithm = sm2 ? KeyAlgorithm::Sm2 : KeyAlgorithm::Rsa;
  settings.keySpec = spec;
  settings.hashAlgorithm = sm2 ? CALG_SM3 : CALG_SHA1;
  settings.signatureAlgorithm = sm2 ? kOidSm3WithSm2 : kOidSha1WithRsa;
  // SEQUENCE { toBeSigned, algorithm, bits }, toBeSigned signed in place.
  DerBuilder b, signature;
  const DerMark whole = DerOpen(&b, kTagSequence);
  const DerMark toBeSigned = DerOpen(&b, kTagSequence);
  DerAddElement(&b, kTagOctetString, {random, sizeof random});
  DerClose(&b, toBeSigned);
  const ByteView signedPart = DerView(&b).subspan(2);  // after the open outer header
  DerAddComposed(&signature, [&](BYTE** o, DWORD* n) {
    return PKCS10CalculateHashandSign(provider, settings, signedPart, o, n);
  });
  if (FAILED(signature.status)) return signature.status;
  DerAddComposed(&b, [&](BYTE** o, DWORD* n) {
    return ComposeSignAlgorithm(settings.signatureAlgorithm, o, n);
  });
  DerAddComposed(&b, [&](BYTE** o, DWORD* n) {
    return ComposeSignature(settings.algorithm, DerView(&signature), o, n);
  });
  DerClose(&b, whole);
  BYTE* out = nullptr;
  DWORD length = 0;
  const HRESULT hr = DerFinish(&b, &out, &length);
  *signedBlob = Take(out, length);
  return hr;
}

// S_OK when the signature of `signedBlob` verifies with `key`, S_FALSE
// when it does not, else the status of the check that could not be made.
HRESULT Verifies(Octets& signedBlob, PublicKey& key) {
  CRYPT_DATA_BLOB subject{static_cast<DWORD>(signedBlob.size()), signedBlob.data()};
  CERT_PUBLIC_KEY_INFO issuer = key.Info();
  if (Plat().CryptVerifyCertificateSignatureEx(0, kEncodingType,
                                               CRYPT_VERIFY_CERT_SIGN_SUBJECT_BLOB, &subject,
                                               CRYPT_VERIFY_CERT_SIGN_ISSUER_PUBKEY, &issuer, 0,
                                               nullptr))
    return S_OK;
  const HRESULT hr = FailedCallStatusFullRule();
  return hr == NTE_BAD_SIGNATURE ? S_FALSE : hr;
}

// S_OK when a random value encrypted to the exported public key (imported
// into a verification context) decrypts with the container's key, S_FALSE
// when it decrypts to something else or not at all.
HRESULT EncryptionRoundTrip(HCRYPTPROV provider, HCRYPTKEY key) {
  const Platform& p = Plat();
  DWORD size = 0;
  if (!p.CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size))
    return FailedCallStatusFullRule();
  Octets blob(size);
  if (!p.CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size))
    return FailedCallStatusFullRule();
  ProviderHandle verifier;
  KeyHandle publicKey;
  if (!p.CryptAcquireContextW(&verifier.value, nullptr, kEnhancedProvider, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT))
    return verifier.value = 0, FailedCallStatusFullRule();
  if (!p.CryptImportKey(verifier.value, blob.data(), size, 0, 0, &publicKey.value))
    return publicKey.value = 0, FailedCallStatusFullRule();
  BYTE random[16];
  if (!p.CryptGenRandom(provider, sizeof random, random)) return FailedCallStatusFullRule();
  DWORD length = sizeof random;
  if (!p.CryptEncrypt(publicKey.value, 0, TRUE, 0, nullptr, &length, 0))
    return FailedCallStatusFullRule();
  Octets data(length < sizeof random ? sizeof random : length);
  std::memcpy(data.data(), random, sizeof random);
  length = sizeof random;
  if (!p.CryptEncrypt(publicKey.value, 0, TRUE, 0, data.data(), &length,
                      static_cast<DWORD>(data.size())))
    return FailedCallStatusFullRule();
  if (!p.CryptDecrypt(key, 0, TRUE, 0, data.data(), &length))
    return p.GetLastError() == static_cast<DWORD>(NTE_BAD_DATA) ? S_FALSE
                                                                : FailedCallStatusFullRule();
  return length == sizeof random && std::memcmp(data.data(), random, sizeof random) == 0
             ? S_OK
             : S_FALSE;
}

// The public keys of the certificates bound to the key: the one stored
// with it, else those of the user's "My" store linked to this provider,
// container and spec.
std::vector<PublicKey> BoundCertificateKeys(HCRYPTKEY key, const std::u16string& provider,
                                            const std::u16string& container, DWORD spec) {
  const Platform& p = Plat();
  std::vector<PublicKey> keys;
  DWORD size = 0;
  if (p.CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0) && size > 0) {
    Octets der(size);
    StoreHandle memory;
    CertContextHandle cert;
    if (p.CryptGetKeyParam(key, KP_CERTIFICATE, der.data(), &size, 0) &&
        (memory.value = p.CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr)) &&
        p.CertAddEncodedCertificateToStore(memory.value, kEncodingType, der.data(), size,
                                           CERT_STORE_ADD_ALWAYS, &cert.value))
      keys.push_back(CopyOf(cert.value->pCertInfo->SubjectPublicKeyInfo));
    else  // a stored certificate the platform cannot read matches nothing
      keys.push_back({});
    return keys;
  }
  StoreHandle my;
  my.value = p.CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                             CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG |
                                 CERT_STORE_OPEN_EXISTING_FLAG,
                             u"My");
  if (my.value == nullptr) return keys;
  for (PCCERT_CONTEXT cert = nullptr; (cert = p.CertEnumCertificatesInStore(my.value, cert));) {
    DWORD length = 0;
    if (!p.CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                             &length) ||
        length < sizeof(CRYPT_KEY_PROV_INFO))
      continue;
    ScopedBuffer<BYTE> buffer(AllocZeroed<BYTE>(length));
    if (!buffer ||
        !p.CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.get(),
                                             &length))
      continue;
    const auto* link = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.get());
    if (link->dwKeySpec == spec && link->pwszProvName && link->pwszContainerName &&
        EqualsAsciiNoCase(U16(link->pwszProvName), provider) &&
        container == U16(link->pwszContainerName))
      keys.push_back(CopyOf(cert->pCertInfo->SubjectPublicKeyInfo));
  }
  return keys;
}

KeyCheck CheckKey(HCRYPTPROV provider, HCRYPTKEY key, DWORD spec,
                  const std::u16string& providerName, const std::u16string& container) {
  KeyCheck check;
  check.spec = spec;
  ALG_ID algorithm = 0;
  DWORD size = sizeof algorithm;
  if (!Plat().CryptGetKeyParam(key, KP_ALGID, reinterpret_cast<BYTE*>(&algorithm), &size, 0)) {
    check.status = FailedCallStatusFullRule();
    return check;
  }
  const bool sm2 = algorithm == KL_CALG_SM2_KEYX || algorithm == KL_CALG_SM2_SIGN;
  PublicKey exported;
  Octets signedBlob;
  HRESULT hr = ExportPublicKey(provider, key, spec, sm2, &exported);
  if (SUCCEEDED(hr)) hr = SignRandom(provider, spec, sm2, &signedBlob);
  if (SUCCEEDED(hr)) hr = Verifies(signedBlob, exported);
  if (hr == S_OK && spec == AT_KEYEXCHANGE && !sm2) hr = EncryptionRoundTrip(provider, key);
  check.publicKeyMatchesPrivate = hr == S_OK;
  if (FAILED(hr)) check.status = hr;
  if (signedBlob.empty()) return check;  // nothing to compare a certificate with

  const std::vector<PublicKey> bound = BoundCertificateKeys(key, providerName, container, spec);
  if (bound.empty()) return check;
  bool matches = true;
  for (PublicKey certificateKey : bound) {
    hr = certificateKey == exported ? Verifies(signedBlob, certificateKey) : S_FALSE;
    if (FAILED(hr) && SUCCEEDED(check.status)) check.status = hr;
    matches = matches && hr == S_OK;
  }
  check.certificateMatches = matches;
  return check;
}

}  // namespace

HRESULT CheckContainerKeys(const std::u16string& provider, DWORD type,
                           const std::u16string& container, std::vector<KeyCheck>* checks) {
  checks->clear();
  ProviderHandle h;
  if (!Plat().CryptAcquireContextW(&h.value, container.c_str(), provider.c_str(), type, 0)) {
    h.value = 0;
    return FailedCallStatusFullRule();
  }
  for (DWORD spec : {DWORD{AT_KEYEXCHANGE}, DWORD{AT_SIGNATURE}}) {
    KeyHandle key;
    if (!Plat().CryptGetUserKey(h.value, spec, &key.value)) {
      key.value = 0;
      continue;
    }
    checks->push_back(CheckKey(h.value, key.value, spec, provider, container));
  }
  return S_OK;
}

int RunKeyVerify(const std::u16string& provider, DWORD type, const std::u16string& container) {
  std::vector<KeyCheck> checks;
  if (HRESULT hr = CheckContainerKeys(provider, type, container, &checks); FAILED(hr))
    return ReportFailure("key verify", hr);
  if (checks.empty()) return ReportFailure("key verify", NTE_NO_KEY);
  int code = 0;
  for (const KeyCheck& check : checks) {
    const char* spec = check.spec == AT_KEYEXCHANGE ? "exchange" : "signature";
    if (FAILED(check.status)) ReportFailure(std::string("key verify ") + spec, check.status);
    const char* certificate = !check.certificateMatches ? "null"
                              : *check.certificateMatches ? "true"
                                                          : "false";
    std::printf("{\"spec\":\"%s\",\"publicKeyMatchesPrivate\":%s,\"certificateMatches\":%s}\n",
                spec, check.publicKeyMatchesPrivate ? "true" : "false", certificate);
    if (!check.publicKeyMatchesPrivate || check.certificateMatches == false) code = 1;
  }
  return code;
}
