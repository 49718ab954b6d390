// The one certificate factory of the tests, made with OpenSSL directly and
// independent of the code under test: keys (RSA or SM2), certificates signed
// with SHA-1, SHA-256 or SM3-with-SM2 (identifier "1234567812345678"),
// PKCS#7 bundles.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

// Owning holders of OpenSSL objects.
template <typename T, void (*F)(T*)>
struct OpenSslFree {
  void operator()(T* p) const { F(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree<X509, X509_free>>;

// The certificate of `der`; null when OpenSSL refuses it.
X509Ptr X509FromDer(const Bytes& der);
// The key of a DER SubjectPublicKeyInfo; null when OpenSSL refuses it.
Pkey KeyFromSpki(const Bytes& spki);

// OpenSSL's EVP verification of a DER (or, for RSA, big-endian) `signature`
// over exactly `data` with `md`; `sm2Id`, when given, is the SM2 identifier
// set on the key's context.
bool EvpVerifies(EVP_PKEY* key, const EVP_MD* md, const Bytes& data, const Bytes& signature,
                 const char* sm2Id = nullptr);

enum class PkiAlg { kRsaSha1, kRsaSha256, kSm2 };

struct PkiCert {
  std::shared_ptr<X509> x509;
  std::shared_ptr<EVP_PKEY> key;
  Bytes der;
};

struct CertSpec {
  std::vector<std::pair<std::string, std::string>> subject;  // (short name, UTF-8 value), in encoded order
  long serial = 1;
  long notBeforeDays = -1;  // relative to now
  long notAfterDays = 365;
  bool ca = true;
  EVP_PKEY* key = nullptr;  // the subject's key (referenced); a fresh one of `alg` when null
};

// A certificate for `spec`, issued by `issuer` (self-signed when null),
// signed as `alg` says.
PkiCert MakeCert(PkiAlg alg, const CertSpec& spec, const PkiCert* issuer);

// The DER of a certificate of `key` (public half enough), issued by a
// throwaway RSA authority.
Bytes CertOfKey(EVP_PKEY* key);

// The same certificate with one bit of its signature flipped.
Bytes TamperSignature(const Bytes& der);

// A certificates-only PKCS#7 SignedData of `certs`, in that order.
Bytes MakeBundle(const std::vector<Bytes>& certs);

// A root, an intermediate and an end certificate of one algorithm.
struct Hierarchy {
  PkiCert root, intermediate, leaf;
};
Hierarchy MakeHierarchy(PkiAlg alg, const std::string& tag);

// The DER OpenSSL's i2d function writes for `object`; empty on failure.
template <typename T>
Bytes I2d(const T* object, int (*i2d)(const T*, unsigned char**)) {
  unsigned char* out = nullptr;
  const int n = object ? i2d(object, &out) : 0;
  Bytes der(out, out + (n > 0 ? n : 0));
  OPENSSL_free(out);
  return der;
}
