// What the enrollment tests of this program share: the providers by the
// names pages pass, one test authority, and OpenSSL's reading of a
// certificate's key.
#pragma once

#include <openssl/x509.h>

#include <cstdlib>
#include <string>

#include "support/TestPki.h"
#include "testca/TestCa.h"

inline constexpr char kEnhancedName[] = "Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr char kRsaTokenName[] = "Keyloom RSA Token Provider";
inline constexpr char kSm2TokenName[] = "Keyloom SM2 Token Provider";
inline constexpr char kSubject[] = "CN=Test User,O=Keyloom,C=CN";

// One authority for the whole program: its hierarchies take a while.
inline const std::string& Authority() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/keyloom-ca-XXXXXX";
    std::string d = std::string(mkdtemp(pattern)) + "/ca";
    std::string error;
    EXPECT_TRUE(testca::Init(d, &error)) << error;
    return d;
  }();
  return dir;
}

// The DER SubjectPublicKeyInfo of the certificate `der`; empty when
// OpenSSL refuses it.
inline Bytes CertificateSpki(const Bytes& der) {
  const X509Ptr cert = X509FromDer(der);
  return cert ? I2d(X509_get0_pubkey(cert.get()), i2d_PUBKEY) : Bytes();
}
