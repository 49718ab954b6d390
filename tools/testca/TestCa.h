// testca: a test certification authority on OpenSSL, for integration tests
// and for people trying the enrollment by hand.
//
// A folder holds two hierarchies, each a self-signed root and an
// intermediate below it: RSA (2048 bits, SHA-256) and SM2 (SM3 with SM2,
// signer identifier "1234567812345678"). The intermediates issue signing
// certificates from PKCS#10 requests and encryption certificates with a
// key pair made here, whose private key travels back in the key envelope
// the control installs.
//
// Every function returns true on success; on failure it returns false and
// sets *error to a one-line English text (never null), leaving the outputs
// unspecified.
#pragma once

#include <openssl/evp.h>

#include "base/WinTypes.h"
#include "request/RequestReader.h"

#include <memory>
#include <string>
#include <vector>

namespace testca {

using Bytes = std::vector<unsigned char>;

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

enum class Alg { kRsa, kSm2 };

// Creates `dir` (0700) when missing and writes both hierarchies into it:
// rsa-root.crt, rsa-ca.crt, sm2-root.crt, sm2-ca.crt (PEM) and the keys
// beside them (*.key, PEM, mode 0600). Certificates are valid from a day
// ago for twenty years. Refuses to replace an existing file or to follow a
// symbolic link at any of these paths.
bool Init(const std::string& dir, std::string* error);

// Makes the demo hierarchies in `dir` (created 0700 when missing), or
// reuses the ones a previous run left there, and writes the two chain
// documents the module carries: `rsaPath` for the RSA hierarchy (a SHA-1
// root and a SHA-256 root, each with an intermediate signed with its
// digest) and `sm2Path` for the SM2 one (root and intermediate, SM3 with
// SM2). Each document lists its roots as entries of the machine's trusted
// root store (thumbprint, serialized entry) and carries a certificates-only
// PKCS#7 bundle of the whole hierarchy. Certificates are PEM files
// (0644), keys PEM (exactly 0600), beside each other in `dir`; the
// SHA-256 RSA and the SM2 intermediate are rsa-ca and sm2-ca, so Issue
// and MakeEnvelope given `dir` issue below the carried roots. Refuses a
// hierarchy file that is present but does not belong (no regeneration).
bool WriteChainDocuments(const std::string& dir, const std::string& rsaPath,
                         const std::string& sm2Path, std::string* error);

// The parts of a PKCS#10 request, read by the system's own request reader.
using RequestParts = ::RequestParts;

// Splits a DER request (SplitCertRequest).
bool DecodeRequest(const Bytes& der, RequestParts* parts, std::string* error);

// The key inside the request's temporaryKey attribute
// (1.2.840.113549.1.9.63, either attribute form); empty when absent.
Bytes TemporaryKey(const RequestParts& parts);

// The octets of a file that holds a request or a key: binary as is (first
// octet 0x30 or 0x00), otherwise Base64 text (line breaks of any kind,
// "-----" armour lines skipped).
bool FileOctets(const Bytes& fileContent, Bytes* octets, std::string* error);

// Checks the request's signature over its exact certificationRequestInfo
// octets (SHA-1, SHA-256 or MD5 with RSA; SM3 with SM2 and kSm2SignerId) and
// issues a signing certificate for its subject octets and public key from
// the intermediate of the key's algorithm. *certificate receives the DER.
// A request whose signature does not verify is refused.
bool Issue(const std::string& dir, const Bytes& requestDer, Bytes* certificate, std::string* error);

// What an envelope is made for.
struct EnvelopeRequest {
  Alg alg = Alg::kRsa;
  // The temporary public key: the DER RSAPublicKey (RSA) or the 136-octet
  // SM2TmpPublicKeyStruct (SM2).
  Bytes temporaryKey;
  int bits = 2048;            // RSA key length (a multiple of 8); SM2 keys are 256 bits
  unsigned long exponent = 65537;  // RSA public exponent (odd, at least 3)
  std::string subject;        // "CN=a,O=b,C=CN" (encoded last to first) or "/C=CN/O=b/CN=a"
  Bytes subjectDer;           // used as is when `subject` is empty (a request's subject)
  size_t commas = 0;          // break the Base64 fields every N characters; 0 keeps them whole
  int sm2SessionType = 0;     // SM2: 0 (no session key) or 306
  int deviceType = 1;         // header fields, as the control accepts them
  int encryptType = 1;
};

struct EnvelopeResult {
  std::string envelope;       // the envelope text
  std::string certificate;    // Base64 of the encryption certificate (commas as requested)
  Bytes certificateDer;
  Pkey key;                   // the generated key pair
};

// Generates the encryption key pair, issues its encryption certificate
// from the intermediate of `request.alg` and wraps the private key for the
// temporary key:
//   RSA: a 3DES session key encrypted to the temporary key (PKCS#1 v1.5,
//        big-endian), the RSAPrivateKey in 3DES-ECB with PKCS#5 padding;
//        session key type 306.
//   SM2: the SM2EnvelopedKey (SM4-ECB key encrypted to the temporary key,
//        the public point, the SM4-ECB private scalar) in the private-key
//        field; session key type 0 with an empty session field, or 306
//        with the SM2-encrypted SM4 key there too.
bool MakeEnvelope(const std::string& dir, const EnvelopeRequest& request, EnvelopeResult* result,
                  std::string* error);

// Base64 text of `data` in one line, with a comma after every `every`
// characters (0: none) and, when `finalComma`, one at the end.
std::string Base64Field(const Bytes& data, size_t every, bool finalComma);

}  // namespace testca
