// The PKCS#10 certification request: composed with the system's own DER
// writer, hashed and signed by the provider, Base64 in 64-character lines.
//
// CertificationRequest ::= SEQUENCE {
//   certificationRequestInfo SEQUENCE { version 0, subject Name,
//     subjectPublicKeyInfo, [0] attributes (double certificate only) },
//   signatureAlgorithm SEQUENCE { OID, NULL },
//   signature BIT STRING }
//
// Every operation allocates its output with AllocZeroed and hands it out
// only on success; the caller releases it with FreeBuffer.
#pragma once

#include <string>

#include "base/WinTypes.h"
#include "encoding/DerEncoder.h"
#include "request/KeyAlgorithm.h"

constexpr char kOidRsaEncryption[] = "1.2.840.113549.1.1.1";
constexpr char kOidEcPublicKey[] = "1.2.840.10045.2.1";
constexpr char kOidSm2Curve[] = "1.2.156.10197.1.301";
constexpr char kOidSha1WithRsa[] = "1.2.840.113549.1.1.5";
constexpr char kOidMd5WithRsa[] = "1.2.840.113549.1.1.4";
constexpr char kOidSm3WithSm2[] = "1.2.156.10197.1.501";
constexpr char kOidChallengePassword[] = "1.2.840.113549.1.9.7";
constexpr char kOidTemporaryKey[] = "1.2.840.113549.1.9.63";
constexpr char kChallengePassword[] = "739254";

// Forms of the double-certificate attributes.
constexpr DWORD kAttributesSpecial = 0;   // SEQUENCE { OID, value }
constexpr DWORD kAttributesStandard = 1;  // SEQUENCE { OID, SET { value } }

// How one request is written and signed. The public key algorithm and its
// parameters follow from `algorithm`: rsaEncryption with NULL, or
// id-ecPublicKey with the SM2 curve.
struct RequestSettings {
  KeyAlgorithm algorithm = KeyAlgorithm::Rsa;
  DWORD keySpec = AT_SIGNATURE;                      // the signing key in the provider's container
  ALG_ID hashAlgorithm = CALG_SHA1;                  // CALG_SHA1 or CALG_MD5 (RSA), CALG_SM3 (SM2)
  const char* signatureAlgorithm = kOidSha1WithRsa;  // its OID, matching the hash
  DWORD attributeForm = kAttributesSpecial;
};

// The whole request as Base64 text (standard alphabet, padded) in lines of
// exactly 64 characters joined by CR LF, zero-terminated; *requestLength
// excludes the terminator.
//
// `publicKey` is the DER RSAPublicKey (RSA) or the provider's 140-octet SM2
// PUBLICKEYBLOB; `tempKey` (double certificate, else empty) likewise for
// the exchange key. SM2 blobs shorter than 140 octets are refused with
// 0x8007000D before they are read. The signing key is the container's key
// of `settings.keySpec` behind `provider`. For SM2 the request carries the
// point 04 || X || Y and the temporary key as SM2TmpPublicKeyStruct.
HRESULT PKCS10RequestBase64(const RequestSettings& settings, HCRYPTPROV provider,
                            const char16_t* subject, ByteView publicKey, ByteView tempKey,
                            char** request, DWORD* requestLength);

// SEQUENCE { 02 01 00, Name, subjectPublicKeyInfo [, [0] attributes] }.
// `publicKey` is already in request form (RSAPublicKey, or the 65-octet SM2
// point); `tempKey` too (RSAPublicKey or the 136-octet SM2TmpPublicKeyStruct),
// or empty for a single certificate (no attributes).
HRESULT ComposeCertRequestInfo(const char16_t* subject, const RequestSettings& settings,
                               ByteView publicKey, ByteView tempKey, BYTE** out, DWORD* outLength);

// SEQUENCE { SEQUENCE { rsaEncryption, NULL } or SEQUENCE { id-ecPublicKey,
// the SM2 curve OID }, BIT STRING key }.
HRESULT ComposeSignPublicKeyData(KeyAlgorithm algorithm, ByteView publicKey, BYTE** out,
                                 DWORD* outLength);

// [0] { challengePassword "739254", temporaryKey SEQUENCE { INTEGER 1,
// OCTET STRING key } in an OCTET STRING }, challenge first.
HRESULT ComposeAttributes(ByteView tempKey, BYTE** out, DWORD* outLength, DWORD attributeForm);

// SEQUENCE { signature algorithm OID, NULL }.
HRESULT ComposeSignAlgorithm(const char* signatureAlgorithm, BYTE** out, DWORD* outLength);

// Hashes `data` with the provider (settings.hashAlgorithm, pieces of
// 16,384 octets) and signs it with the container's key of
// settings.keySpec. Out: the signature most significant octet first (RSA:
// the whole value reversed from the provider's little-endian; SM2: r || s,
// each 32-octet half reversed).
HRESULT PKCS10CalculateHashandSign(HCRYPTPROV provider, const RequestSettings& settings,
                                   ByteView data, BYTE** signature, DWORD* signatureLength);

// BIT STRING of the signature: RSA as it is; SM2 as the DER SEQUENCE
// { INTEGER r, INTEGER s } of exactly 64 octets r || s (else 0x8007000D).
HRESULT ComposeSignature(KeyAlgorithm algorithm, ByteView signature, BYTE** out, DWORD* outLength);

// `text` without its CR and LF, broken into lines of 64 characters joined
// by CR LF (none after the last line), zero-terminated.
HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(const char* text, DWORD length,
                                                        char** out, DWORD* outLength);
