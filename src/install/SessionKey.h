// Opening the plain envelope inside the control: the 3DES session key is
// decrypted with the temporary key, brought into a software provider as a
// SIMPLEBLOB wrapped by an RSA key whose exponents are all 1 (which leaves
// the block unchanged), and decrypts the PKCS#1 RSAPrivateKey.
//
// The plaintext session key and private key are the caller's on success
// (FreeSecret with their lengths); every intermediate copy is wiped.
#pragma once

#include <string>

#include "base/WinTypes.h"

constexpr char16_t kExponentOneContainer[] = u"SGKEYCONTAINER";
constexpr char16_t kExponentOneProvider[] = u"Microsoft Enhanced Cryptographic Provider v1.0";

// Opens container `containerName` of `providerName` (the handle goes to
// *provider and stays open for the caller, also on a later failure, when
// it was opened), reverses `wrapped` in place (big-endian from the
// authority) and decrypts it with the exchange key. A 32-octet result is
// cut to its first 24.
HRESULT DecryptSessionKeywithTempKey(const std::u16string& providerName, HCRYPTPROV* provider,
                                     const std::u16string& containerName, BYTE* wrapped,
                                     DWORD wrappedLength, BYTE** sessionKey,
                                     DWORD* sessionKeyLength);

// A fresh RSA exchange key in `container` of `providerName` (created when
// missing) with its public exponent, exponent1, exponent2 and private
// exponent set to 1. On failure both outputs are 0 and false is returned.
bool CreatePrivateExponentOneKey(const std::u16string& providerName, DWORD providerType,
                                 const std::u16string& container, HCRYPTPROV* provider,
                                 HCRYPTKEY* key);

// Imports `sessionKey` as a key of `algorithm` through a SIMPLEBLOB
// wrapped by the exponent-one key. False when the provider lacks the
// algorithm, the key is longer than the provider's, or the import fails.
bool ImportPlainSessionBlob(HCRYPTPROV provider, HCRYPTKEY exponentOneKey, ALG_ID algorithm,
                            const BYTE* sessionKey, DWORD sessionKeyLength,
                            HCRYPTKEY* sessionKeyHandle);

// Decrypts the wrapped private key (3DES-ECB, PKCS#5 padding) with the
// session key. Failures of the two helpers above give 0xA0071403.
HRESULT DecryptPrivateKeywithSessionKey(ALG_ID algorithm, const BYTE* sessionKey,
                                        DWORD sessionKeyLength, const BYTE* encrypted,
                                        DWORD encryptedLength, BYTE** privateKey,
                                        DWORD* privateKeyLength);
