// Key pairs in a provider's key container, and the GUID names of new
// containers.
#pragma once

#include <string>

#include "base/WinTypes.h"
#include "request/KeyAlgorithm.h"

// A new GUID as its 38-character registry text, braces included and
// hexadecimal in upper case ("{8-4-4-4-12}"). Returns 0, the failure of
// CoCreateGuid unchanged, or the last-error status when no text is written.
HRESULT CreateGUIDStr(std::u16string* text);

// The key-generation identifier CryptGenKey receives: the key spec itself
// for RSA; 0xBE00 (exchange) or 0x3E00 (signature) for SM2.
ALG_ID KeyGenerationAlgId(KeyAlgorithm algorithm, DWORD keySpec);

// The key pair CreatePublicKey makes.
struct KeyPairSettings {
  const char16_t* providerName = nullptr;  // required
  KeyAlgorithm algorithm = KeyAlgorithm::Rsa;
  DWORD keySpec = AT_KEYEXCHANGE;  // AT_KEYEXCHANGE (1) or AT_SIGNATURE (2)
  DWORD keyLength = 0;             // bits
  DWORD generationFlags = 0;       // the low 16 bits of the CryptGenKey flags
  bool newContainer = false;       // a new GUID container even when one is named
};

// Generates one key pair as `settings` say, in a container of the
// provider, and exports its public key.
//
// Container: when `newContainer` is false and *containerName holds a text,
// that existing container is used; otherwise a new container named by
// CreateGUIDStr is created, and on success its name replaces
// *containerName. When *provider is 0 the provider is opened on the
// container and the handle left in *provider for the caller, who releases
// it; a non-zero *provider is used as it is (it must be open on
// *containerName).
//
// Public key (allocated with AllocZeroed, released by the caller with
// FreeBuffer): for RSA the CERT_PUBLIC_KEY_INFO of the key spec, whose
// public key member points into the same buffer at the DER RSAPublicKey;
// for SM2 the provider's 140-octet PUBLICKEYBLOB.
//
// The low 16 bits of the key-generation flags are `generationFlags`, the
// high 16 bits the key length. A null provider name or out pointer gives
// E_INVALIDARG. A container this call created is deleted again when a later
// step fails (CRYPT_DELETEKEYSET for RSA, 0xFFFF0002 for SM2); a container
// named by the caller never is. On failure *containerName is unchanged and
// *provider is 0 or a valid handle.
HRESULT CreatePublicKey(const KeyPairSettings& settings, HCRYPTPROV* provider,
                        std::u16string* containerName, BYTE** publicKey, DWORD* publicKeyLength);
