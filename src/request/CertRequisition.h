// One enrollment request: the key pairs of a single or double certificate
// and the signed PKCS#10 request for them.
#pragma once

#include <string>

#include "base/WinTypes.h"
#include "request/KeyAlgorithm.h"

constexpr DWORD kSingleCertificate = 1;
constexpr DWORD kDoubleCertificate = 2;

// The key a certificate of `certType` certifies: a single certificate's
// (type 1) is the exchange key, any other type's the signature key.
constexpr DWORD KeySpecOfCertType(LONG certType) {
  return certType == static_cast<LONG>(kSingleCertificate) ? AT_KEYEXCHANGE : AT_SIGNATURE;
}

// What one enrollment asks for.
struct RequisitionSettings {
  const char16_t* providerName = nullptr;
  KeyAlgorithm algorithm = KeyAlgorithm::Rsa;
  DWORD mode = kSingleCertificate;   // kSingleCertificate or kDoubleCertificate
  DWORD keySpec = AT_SIGNATURE;      // of the certified key pair
  DWORD keyLength = 0;               // bits of the certified key pair
  ALG_ID hashAlgorithm = CALG_SHA1;  // RSA: CALG_SHA1 or CALG_MD5; SM2 always signs with SM3
  DWORD attributeForm = 0;           // kAttributesSpecial or kAttributesStandard
  DWORD signingKeyFlags = 0;         // generation flags of the certified key pair
  DWORD exchangeKeyFlags = 0;        // generation flags of the temporary key pair
};

// Generates the keys and the request.
//
// Single certificate (mode 1): one key pair of `keySpec` and `keyLength`
// bits in the container *containerName names, or in a new GUID container
// when it is empty. Double certificate (mode 2): first a temporary exchange
// key pair (1024-bit RSA or 256-bit SM2, `exchangeKeyFlags`) in a new GUID
// container, then the certified key pair in the same container; the request
// carries the temporary public key.
//
// RSA signs with SHA-1 (hash 0x8004) or MD5 (0x8003); any other hash gives
// 0xA0072020 after the keys were generated. SM2 always signs with SM3.
// Out: *request, the Base64 request of PKCS10RequestBase64 (AllocZeroed;
// the caller releases it with FreeBuffer), and *containerName, the
// container now holding the keys (also after a failure past the key
// generation; the keys stay in the provider). A null subject gives
// E_INVALIDARG and a mode other than 1 or 2 E_INVALIDARG, before any key is
// generated.
HRESULT PKCS10CertRequisition(const RequisitionSettings& settings, const char16_t* subject,
                              std::u16string* containerName, char** request);
