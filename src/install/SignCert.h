// Binding an issued certificate to the key pair the control generated.
//
// A provider whose name contains "Microsoft" (case-sensitive) keeps its
// certificates in the current user's "MY" store, linked to the container
// through the key-provider information; any other provider (tokens) stores
// the certificate with the key (KP_CERTIFICATE).
#pragma once

#include <string>

#include "base/WinTypes.h"

// True when `providerName` contains "Microsoft" (case-sensitive).
bool IsMicrosoftProvider(const std::u16string& providerName);

// True when `keyAlgorithm` is "RSA" in any letter case (else SM2).
bool IsRsaAlgorithmName(const std::u16string& keyAlgorithm);

// Adds the DER certificate to the current user's "MY" store (replacing an
// entry with the same certificate) and links it to the key: container
// `containerName` of `providerName`, provider type 1, `keySpec`. The store
// is opened over `provider` without taking ownership of it. Returns 0 or
// the converted last error of the failing call (full rule), traced with
// its step.
HRESULT AddCertificateToSystemStore(HCRYPTPROV provider, const BYTE* certificate,
                                    DWORD certificateLength, DWORD keySpec,
                                    const std::u16string& containerName,
                                    const std::u16string& providerName);

// Installs the signing certificate (Base64 text, commas removed in place)
// for the key of `keySpec` in container `containerName` of `providerName`.
// "RSA" opens the container normally, any other algorithm with
// CRYPT_VERIFYCONTEXT and the container name (the token's convention). A
// container without a key of that spec fails at "CryptGetUserKey" and
// nothing is written. Leaves a diagnostic copy of the DER in the temporary
// folder. Returns 0 or the first failure.
HRESULT ImportSignCert(DWORD keySpec, std::u16string* certificateText,
                       const std::u16string& providerName, const std::u16string& containerName,
                       const std::u16string& keyAlgorithm);
