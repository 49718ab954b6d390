// Helpers of the provider tests: OpenSSL used directly as the independent
// party (reading the platform's
// blobs, verifying signatures, building envelopes).
#pragma once

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <string>
#include <vector>

#include "support/CryptCalls.h"
#include "support/TestPki.h"

// OpenSSL's view of the platform's public-key blobs; null when malformed.
Pkey RsaFromPublicBlob(const Bytes& blob);
Pkey Sm2FromPublicBlob(const Bytes& blob);
// OpenSSL verifies a platform signature (little-endian) over `data`.
bool VerifyRsa(EVP_PKEY* key, const EVP_MD* md, const Bytes& data, const Bytes& signature);
bool VerifySm2(EVP_PKEY* key, const Bytes& data, const Bytes& signature, const char* id);
// OpenSSL's public-key encryption of `plain` (`padding` 0: the default).
Bytes PkeyEncrypt(EVP_PKEY* key, const Bytes& plain, int padding);
// Symmetric encryption by OpenSSL (PKCS#5 padding when `pad`), no IV.
Bytes Encipher(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& plain, bool pad);
