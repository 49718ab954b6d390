// The soft platform's table, assembled from one filler per area. Each area
// fills its own entries; entries no area fills keep the unimplemented
// filler of base/ (ERROR_CALL_NOT_IMPLEMENTED).
//
// Folders: crypto/ (providers, key containers, hashes, keys, the structure
// encoder), certs/ (certificate contexts, stores, names, chains), registry/
// (the homes' databases and the registry over them), system/ (thread state,
// texts, COM, tracing, DOM, zones, resources, time, files, version).
#pragma once

#include "base/Platform.h"
#include "platform/soft/system/SoftSystem.h"

// crypto/
void SoftFillEncode(Platform& t);    // structure encoder (CryptEncodeObject)
void SoftFillCrypto(Platform& t);    // cryptographic providers and key containers
// pkcs11/ (after SoftFillCrypto: it stands in front of the crypto entries)
void SoftFillPkcs11(Platform& t);    // "Keyloom PKCS#11 Token Provider"

// certs/
void SoftFillCertStores(Platform& t);  // certificate contexts and stores
void SoftFillCertNames(Platform& t);   // CertNameToStrW
void SoftFillSignatureCheck(Platform& t);  // CryptVerifyCertificateSignatureEx
void SoftFillChains(Platform& t);      // chain engine

// registry/
void SoftFillRegistry(Platform& t);  // registry in the homes' databases
