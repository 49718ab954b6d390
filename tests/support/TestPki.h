// Test certification hierarchies made with OpenSSL directly: keys (RSA or
// SM2), certificates signed with SHA-1, SHA-256 or SM3-with-SM2 (identifier
// "1234567812345678"), PKCS#7 bundles. Independent of the code under test.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

using Der = std::vector<unsigned char>;

enum class PkiAlg { kRsaSha1, kRsaSha256, kSm2 };

struct PkiKey {
  std::shared_ptr<EVP_PKEY> key;
};

struct PkiCert {
  std::shared_ptr<X509> x509;
  PkiKey key;
  Der der;
};

// A fresh key: RSA 1024 bits or SM2.
PkiKey MakeKey(PkiAlg alg);

struct CertSpec {
  std::vector<std::pair<std::string, std::string>> subject;  // (short name, UTF-8 value), in encoded order
  long serial = 1;
  long notBeforeDays = -1;  // relative to now
  long notAfterDays = 365;
  bool ca = true;
};

// A certificate for `spec`, issued by `issuer` (self-signed when null),
// signed as `alg` says.
PkiCert MakeCert(PkiAlg alg, const CertSpec& spec, const PkiCert* issuer);

// The same certificate with one bit of its signature flipped.
Der TamperSignature(const Der& der);

// A certificates-only PKCS#7 SignedData of `certs`, in that order.
Der MakeBundle(const std::vector<Der>& certs);

// A root, an intermediate and an end certificate of one algorithm.
struct Hierarchy {
  PkiCert root, intermediate, leaf;
};
Hierarchy MakeHierarchy(PkiAlg alg, const std::string& tag);
