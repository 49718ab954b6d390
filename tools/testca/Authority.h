// The pieces testca's commands share: OpenSSL holders, the hierarchy files,
// certificate making and signing, owner-only file writing.
#pragma once

#include <openssl/x509.h>

#include <sys/types.h>

#include <string>

#include "testca/TestCa.h"

namespace testca {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// One certificate with its private key.
struct Authority {
  Alg alg = Alg::kRsa;
  X509Ptr cert;
  Pkey key;
};

// "rsa" or "sm2": the file name prefix of a hierarchy.
const char* AlgName(Alg alg);

// The algorithm of a public key: RSA, or SM2 (an EC key on the SM2 curve).
// False for anything else.
bool AlgOfKey(EVP_PKEY* key, Alg* alg);

// Loads the intermediate of `alg` from `dir` and checks that the root's key
// signed it.
bool LoadIssuer(const std::string& dir, Alg alg, Authority* issuer, std::string* error);

// Adds the extension `nid` with OpenSSL's configuration text `value`
// (e.g. "critical,CA:FALSE") to `cert`, issued by `issuer`. True on success.
bool AddExtension(X509* cert, X509* issuer, int nid, const char* value);

// What a new certificate says about its use.
enum class Usage { kRoot, kIntermediate, kSigning, kEncryption, kServer };

// A certificate for `key` with the given subject Name encoding (kept octet
// for octet), issued and signed by `issuer`, or self-signed when it is
// null (then `signer` signs). Valid from a day ago for `years`. RSA
// certificates are signed with `digest` ("SHA1", "SHA256"; null: SHA-256),
// SM2 ones always with SM3. A kServer certificate is for TLS server
// authentication and names its host in `altNames` (OpenSSL's
// subjectAltName text: "IP:127.0.0.1,DNS:localhost").
X509Ptr MakeCertificate(const Bytes& subject, EVP_PKEY* key, Usage usage, int years, Alg alg,
                        const Authority* issuer, EVP_PKEY* signer, std::string* error,
                        const char* digest = nullptr, const char* altNames = nullptr);

// A PEM certificate or private key read from `path`; null when the file
// cannot be read or holds none.
X509Ptr LoadCertificate(const std::string& path);
Pkey LoadKey(const std::string& path);

// True when `key` signed `cert` (SM2: with kSm2SignerId).
bool SignedBy(X509* cert, EVP_PKEY* key, Alg alg);

// True when `key` signed `data` with `signature` as the signature algorithm
// `oid` says (RSA with SHA-1, SHA-256 or MD5; SM2 with SM3 and kSm2SignerId).
bool VerifySignature(EVP_PKEY* key, const std::string& oid, const Bytes& data,
                     const Bytes& signature);

// The DER of a certificate, of a Name.
Bytes CertificateDer(X509* cert);
Bytes NameDer(const X509_NAME* name);

// A new key pair: RSA 2048 bits, or SM2. Null when generation fails.
Pkey NewKey(Alg alg);

// Writes `a` as PREFIX.crt (PEM, 0644) and PREFIX.key (PEM, exactly 0600),
// refusing to replace either file.
bool WriteAuthority(const std::string& prefix, const Authority& a, std::string* error);

// Creates `dir` (0700) when missing; false when it is not a folder.
bool MakeFolder(const std::string& dir, std::string* error);

// Reads a whole file; false when it cannot.
bool ReadWholeFile(const std::string& path, Bytes* content, std::string* error);

// Writes a file without following a symbolic link at `path`, with exactly
// `mode`. With `exclusive` an existing file is refused; otherwise it is
// replaced.
bool WriteWholeFile(const std::string& path, const std::string& content, mode_t mode,
                    bool exclusive, std::string* error);

}  // namespace testca
