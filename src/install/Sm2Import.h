// The SM2 encryption key: the token opens the authority's wrapped key
// itself, handed to it by a 24-octet reference blob (07 02 01 00, 0xBE00
// twice, the wrapped key's size in bits, its address).
#pragma once

#include <string>

#include "base/WinTypes.h"

// Imports the wrapped private key (the envelope's private-key field
// content) into the container behind `provider` with `importFlags`, and
// binds `certificate` with KP_CERTIFICATE. Returns 0 or the first failure
// (full rule), traced with its step.
HRESULT ImportEncryptCertEx_SM2(HCRYPTPROV provider, const BYTE* certificate,
                                DWORD certificateLength, const BYTE* privateKey,
                                DWORD privateKeyLength, DWORD importFlags);

// Opens the temporary key's container: "RSA" (any case) normally, any
// other algorithm with CRYPT_VERIFYCONTEXT and the container name. The
// handle is the caller's (CryptReleaseContext).
HRESULT GetCSPHandleofTempPublickey(const std::u16string& providerName,
                                    const std::u16string& containerName,
                                    const std::u16string& keyAlgorithm, HCRYPTPROV* provider);
