// The exchange key compared with a certificate's key through the
// platform's own exports, so that the check holds on every platform.
#include "install/InstalledKey.h"

#include <cstring>
#include <memory>
#include <vector>

#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/ASN1Engine.h"
#include "install/SignCert.h"

namespace {

constexpr DWORD kSm2BlobSize = 140;

// The subjectPublicKey BIT STRING's octets (without the unused-bits octet)
// of a DER certificate; empty when it cannot be read.
std::vector<BYTE> CertificateKey(const BYTE* der, DWORD length) {
  std::unique_ptr<ASN1Node> root;
  if (DecodeASN1Memory(der, length, &root) != 0 || root->children.empty()) return {};
  const ASN1Node& tbs = *root->children[0];
  // tbsCertificate: [0] version (optional), serial, signature, issuer,
  // validity, subject, subjectPublicKeyInfo.
  if (tbs.children.empty()) return {};
  const size_t at = (tbs.children[0]->identifier == 0xA0 ? 1 : 0) + 5;
  if (tbs.children.size() <= at || tbs.children[at]->children.size() < 2) return {};
  const ASN1Node& bits = *tbs.children[at]->children[1];
  if (bits.identifier != 0x03 || bits.contentLength < 2) return {};
  return std::vector<BYTE>(bits.content() + 1, bits.content() + bits.contentLength);
}

// The exchange key's public key as a certificate carries it: the
// RSAPublicKey DER, or the SM2 point 04||X||Y.
HRESULT ExchangeKey(HCRYPTPROV provider, bool rsa, std::vector<BYTE>* out) {
  const Platform& p = Plat();
  KeyHandle key;
  if (!p.CryptGetUserKey(provider, AT_KEYEXCHANGE, &key.value)) {
    key.value = 0;
    const DWORD error = p.GetLastError();
    return error == static_cast<DWORD>(NTE_NO_KEY) ? S_FALSE : FailedCallStatusFullRule();
  }
  DWORD size = 0;
  if (rsa) {
    const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    if (!p.CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, encoding, nullptr, &size))
      return FailedCallStatusFullRule();
    std::vector<BYTE> buffer(size);
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
    if (!p.CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, encoding, info, &size))
      return FailedCallStatusFullRule();
    out->assign(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData);
    return S_OK;
  }
  BYTE blob[kSm2BlobSize] = {};
  size = sizeof blob;
  if (!p.CryptExportKey(key.value, 0, PUBLICKEYBLOB, 0, blob, &size)) return FailedCallStatusFullRule();
  if (size < kSm2BlobSize) return S_FALSE;
  // X and Y fields of 64 octets after the 12-octet header, least
  // significant octet first.
  out->assign(65, 0x04);
  for (int i = 0; i < 32; ++i) {
    (*out)[32 - i] = blob[12 + i];
    (*out)[64 - i] = blob[12 + 64 + i];
  }
  return S_OK;
}

}  // namespace

HRESULT ExchangeKeyIsCertificates(const std::u16string& providerName,
                                  const std::u16string& containerName,
                                  const std::u16string& keyAlgorithm, const BYTE* certificate,
                                  DWORD certificateLength, bool* installed) {
  *installed = false;
  const std::vector<BYTE> wanted = CertificateKey(certificate, certificateLength);
  if (wanted.empty()) return KL_E_IMPORT_ENCRYPT_CERT;
  const bool rsa = IsRsaAlgorithmName(keyAlgorithm);
  ProviderHandle provider;
  if (!Plat().CryptAcquireContextW(&provider.value, containerName.c_str(), providerName.c_str(),
                                   PROV_RSA_FULL, rsa ? 0 : CRYPT_VERIFYCONTEXT)) {
    provider.value = 0;
    return FailedCallStatusFullRule();
  }
  std::vector<BYTE> present;
  const HRESULT hr = ExchangeKey(provider.value, rsa, &present);
  if (FAILED(hr)) return hr;
  *installed = hr == S_OK && present == wanted;
  return S_OK;
}
