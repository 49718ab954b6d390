// Key pairs in a provider's key container, and the GUID names of new
// containers.
#pragma once

#include <string>

#include "base/WinTypes.h"

// A new GUID as its 38-character registry text, braces included and
// hexadecimal in upper case ("{8-4-4-4-12}"). Returns 0, the failure of
// CoCreateGuid unchanged, or the last-error status when no text is written.
HRESULT CreateGUIDStr(std::u16string* text);

// The key-generation identifier CryptGenKey receives: the key spec itself
// for RSA; 0xBE00 (exchange) or 0x3E00 (signature) for SM2.
ALG_ID KeyGenerationAlgId(bool rsa, DWORD keySpec);

// Generates one key pair of `keySpec` (1 exchange, 2 signature) and
// `keyLength` bits in a container of `providerName` and exports its public
// key.
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
// high 16 bits the key length. A container this call created is deleted
// again when a later step fails (CRYPT_DELETEKEYSET for RSA, 0xFFFF0002 for
// SM2); a container named by the caller never is. On failure
// *containerName is unchanged and *provider is 0 or a valid handle.
HRESULT CreatePublicKey(DWORD keyLength, const char16_t* providerName, bool rsa, DWORD keySpec,
                        bool newContainer, HCRYPTPROV* provider, std::u16string* containerName,
                        BYTE** publicKey, DWORD* publicKeyLength, DWORD generationFlags);
