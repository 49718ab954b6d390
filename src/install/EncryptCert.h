// Installing the encryption certificate with the key the authority made.
//
// Format choice: SM2 (any algorithm name but "RSA") always takes the
// encrypted format; RSA with a provider whose name contains "Microsoft"
// takes the plain format; RSA with another provider takes the plain format
// at 1024 bits and the encrypted format otherwise.
//
// Afterwards the container of the temporary key holds the authority's key
// pair as its exchange key, with the certificate stored with it (tokens)
// or linked from the user's "MY" store (Microsoft providers).
#pragma once

#include <string>

#include "base/WinTypes.h"

// The seven inputs of every import flow.
struct EncryptCertImport {
  std::u16string envelope;        // the key envelope text
  std::u16string certificate;     // Base64 of the DER certificate; commas ignored
  std::u16string providerName;
  std::u16string containerName;
  std::u16string keyAlgorithm;    // "RSA" in any case, else SM2
  DWORD keyLength = 0;            // bits, as configured
  DWORD importFlags = 0;          // CryptImportKey flags, unchanged
};

// Chooses the flow. Any of the five texts empty: 0x80070057. Returns 0 or
// the flow's failure unchanged.
HRESULT ImportEncryptCertEx(const EncryptCertImport& import);

// The plain format (RSA): unwraps the session key with the temporary key
// and the private key with the session key, then imports it.
HRESULT ImportEncryptCert(const EncryptCertImport& import);

// The encrypted format: the provider unwraps the key itself.
HRESULT ImportEncryptCertByEncryptedFormat(const EncryptCertImport& import);
