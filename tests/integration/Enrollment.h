// What the enrollment tests of this program share: the providers by the
// names pages pass, one test authority, a prepared enrollment, and
// OpenSSL's reading of a certificate's key.
#pragma once

#include <openssl/x509.h>

#include <cstdlib>
#include <string>

#include "support/Base64Text.h"
#include "support/ScriptHost.h"
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

struct Enrollment {
  std::string container;
  Bytes signing;  // the signing certificate
  testca::EnvelopeResult envelope;
};

// A double request of `page`, its signing certificate installed, and the
// authority's envelope for it; the authority breaks its Base64 texts every
// `commas` characters (0: none).
inline bool Prepare(ScriptHost& page, const char* provider, const char* algorithm, int bits,
                    Enrollment* out, size_t commas = 0) {
  if (!page.Select(std::to_string(bits), provider, algorithm)) return false;
  const ScriptResult request = page.Call("ZENQ_PKCS10CertRequisition", {kSubject, "2", "0"});
  EXPECT_EQ(request.hr, S_OK) << page.Call("GetLastErrorDesc").text;
  if (request.hr != S_OK) return false;
  out->container = page.Call("ZENQ_GetContainer").text;
  testca::RequestParts parts;
  std::string error;
  if (!testca::Issue(Authority(), Unbase64(request.text), &out->signing, &error) ||
      !testca::DecodeRequest(Unbase64(request.text), &parts, &error))
    return ADD_FAILURE() << error, false;
  testca::EnvelopeRequest answer;
  answer.alg = std::string(algorithm) == "SM2" ? testca::Alg::kSm2 : testca::Alg::kRsa;
  answer.temporaryKey = testca::TemporaryKey(parts);
  answer.bits = bits;
  answer.subjectDer = parts.subject;
  answer.commas = commas;
  if (!testca::MakeEnvelope(Authority(), answer, &out->envelope, &error))
    return ADD_FAILURE() << error, false;
  const ScriptResult signed_ = page.Call(
      "ZENQ_ImportSignCert", {"2", testca::Base64Field(out->signing, commas, false), out->container});
  EXPECT_EQ(signed_.hr, S_OK) << page.Call("GetLastErrorDesc").text;
  return signed_.hr == S_OK;
}

// `keyloom key verify`: exit 0 and every one of `certificates` bound
// certificates matching.
inline void ExpectKeyVerifies(const char* provider, const std::string& container, int certificates) {
  std::string out;
  EXPECT_EQ(RunCommand(std::string(KEYLOOM_CLI_PATH " key verify --provider '") + provider +
                           "' --container '" + container + "'", &out, true), 0) << out;
  EXPECT_EQ(Count(out, "\"certificateMatches\":true"), certificates) << out;
  EXPECT_EQ(out.find("false"), std::string::npos) << out;
}
