// Key blobs of the platform's layout for the soft providers.
#pragma once

#include "platform/soft/crypto/SoftCrypto.h"

constexpr size_t kSm2PublicBlobSize = 140;

// The modulus length in bits of an RSA key.
DWORD SoftRsaBits(EVP_PKEY* key);
// PUBLICKEYBLOB ("RSA1") or PRIVATEKEYBLOB ("RSA2") of an RSA key.
DWORD SoftExportRsaBlob(EVP_PKEY* key, ALG_ID algid, bool withPrivate, SecretBytes* blob);
// An RSA key from an "RSA1" or "RSA2" blob (header included);
// NTE_BAD_DATA for a malformed blob.
DWORD SoftImportRsaBlob(const BYTE* blob, DWORD size, EvpPkey* key, bool* isPrivate);
// The SM2 token's 140-octet PUBLICKEYBLOB: header, 4 octets (the bit
// length), X field and Y field of 64 octets, each coordinate in the first
// 32 octets least significant first.
DWORD SoftExportSm2PublicBlob(EVP_PKEY* key, ALG_ID algid, SecretBytes* blob);
