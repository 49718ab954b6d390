// Putting the authority's RSA encryption key into the container of the
// control's temporary key.
//
// Plain format: the PKCS#1 RSAPrivateKey (already unwrapped) becomes a
// PRIVATEKEYBLOB of the configured length n (little-endian: header 07 02
// 00 00, CALG_RSA_KEYX, "RSA2", n, the key's public exponent, modulus n/8,
// prime1, prime2, exponent1, exponent2, coefficient n/16 each,
// privateExponent n/8; 9n/16 + 20 octets) and is imported.
// Encrypted format: the two wrapped keys are composed into one DER
// structure and the provider opens it itself through a 32-octet reference
// blob (reserved field 1) that carries its address.
//
// Outputs are allocated with AllocZeroed for the caller (FreeBuffer;
// FreeSecret for private-key material). Failures are traced as
// "function - step"; platform failures use the full rule.
#pragma once

#include <string>

#include "base/WinTypes.h"

// The INTEGER content `value` without its leading 0x00 sign octet, least
// significant octet first, in a new buffer. 0 or 0x8007000E.
HRESULT CopyPrivateKeyAttribute(const BYTE* value, DWORD length, BYTE** out, DWORD* outLength);

// The little-endian values of a DER RSAPrivateKey (SEQUENCE of at least
// nine INTEGERs; fewer gives 0xA0071403). Each out buffer is the caller's
// (FreeSecret).
HRESULT DecodePrivateKey(const BYTE* der, DWORD length, BYTE** modulus, DWORD* modulusLength,
                         BYTE** prime1, DWORD* prime1Length, BYTE** prime2, DWORD* prime2Length,
                         BYTE** exponent1, DWORD* exponent1Length, BYTE** exponent2,
                         DWORD* exponent2Length, BYTE** coefficient, DWORD* coefficientLength,
                         BYTE** privateExponent, DWORD* privateExponentLength);

// The PRIVATEKEYBLOB for bit length `bits` from the DER RSAPrivateKey.
// Values of other lengths than n/8 and n/16 (the coefficient may be one
// octet shorter) give 0xA0071403 "PKCS1 RSA private key length"; a public
// exponent that does not fit in 32 bits gives 0xA0071403 too.
HRESULT getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(DWORD bits, const BYTE* der, DWORD length,
                                                BYTE** blob, DWORD* blobLength);

// Imports the RSAPrivateKey as the container's exchange key through
// `provider` (open on the temporary key's container) with `importFlags`,
// and binds `certificate`: KP_CERTIFICATE for other providers, the "MY"
// store with a link to (`containerName`, AT_KEYEXCHANGE) for Microsoft
// providers.
HRESULT ImportEncryptCert_RSA(const std::u16string& providerName, HCRYPTPROV provider,
                              const std::u16string& containerName, DWORD bits,
                              const BYTE* certificate, DWORD certificateLength,
                              const BYTE* privateKeyDer, DWORD privateKeyDerLength,
                              DWORD importFlags);

// SEQUENCE { INTEGER 1, OID 1.2.840.113549.1.1.1, OID 1.3.6.1.4.1.4929.1.7,
// OCTET STRING wrapped session key, OCTET STRING wrapped private key }.
HRESULT ComposeRSAEVPPrivateKey(const BYTE* sessionKey, DWORD sessionKeyLength,
                                const BYTE* privateKey, DWORD privateKeyLength, BYTE** out,
                                DWORD* outLength);

// The encrypted format: the composed structure handed to the provider by
// reference, then KP_CERTIFICATE. A provider handle of 0 gives
// 0x80070057.
HRESULT ImportEncryptCertEx_RSA(HCRYPTPROV provider, DWORD bits, const BYTE* certificate,
                                DWORD certificateLength, const BYTE* sessionKey,
                                DWORD sessionKeyLength, const BYTE* privateKey,
                                DWORD privateKeyLength, DWORD importFlags);
