// The check that the hierarchy a chain document carries is installed and
// sound here: every certificate of its P7bContent bundle must have a chain
// the platform builds without error, and be present in the current user's
// view of "Root" (self-issued ones) or "CA" (the others). Nothing is
// written; stores are opened read-only.
#pragma once

#include "base/Platform.h"

// Checks the document `data` (UTF-8 XML, `size` octets). The caller has
// initialized COM on this thread. Returns 0 or the first failure
// (0xA0071402 for a document that does not parse or has no P7bContent).
HRESULT CheckCertChainfromBlobData(const BYTE* data, DWORD size);

// Checks the P7bContent bundle of a loaded document. Returns 0; 0xA0071402
// without P7bContent; the status of the Base64 conversion; the result of
// CheckCertificateChainIntegrity.
HRESULT CheckCertChainfromXMLDOMDoc(KlXmlNode* document);

// Checks each certificate of the PKCS#7 bundle (`size` octets) in its
// order, stopping at the first failure: certificates signed with
// sha256WithRSAEncryption are skipped where the platform cannot verify
// SHA-256; the others must validate (ValidateCertificate) and be present
// in the current user's "Root" (self-issued) or "CA" store. Returns 0 (also
// for a bundle without certificates); 0x80070057 for missing data or size
// 0; that failure otherwise.
HRESULT CheckCertificateChainIntegrity(const BYTE* data, DWORD size);

// VerifyCertificateChainValidate's result when negative, else 0.
HRESULT ValidateCertificate(PCCERT_CONTEXT cert);

// Builds the chain of `cert` and maps its error status: partial chain
// 0xA0071033; else bad signature 0xA0071034; else any error bit
// 0xA0071033; else 0. A chain that cannot be built gives the builder's
// status.
HRESULT VerifyCertificateChainValidate(PCCERT_CONTEXT cert);

// The chain of `cert` built by `engine` (null: the current user's default
// engine) from this machine's stores only, at the current time, for any
// usage, without network retrieval, automatic root update or revocation
// checks. On success `*chain` is the caller's, released with
// CertFreeCertificateChain. Returns 0 or the last-error status of
// CertGetCertificateChain.
HRESULT GetCertificateChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert,
                            PCCERT_CHAIN_CONTEXT* chain);

// Whether `store` holds exactly `cert`. Returns 0 when it does, else the
// status of the search's last error (0x80092004 when not found).
HRESULT CertificatesisExistinStore(PCCERT_CONTEXT cert, HCERTSTORE store);

// Whether the platform verifies SHA-256 signatures, by its version: a
// server of 6.0 or later, any other product of 5.1 service pack 3 or later.
bool CheckIsSystemSupportSHA256();
