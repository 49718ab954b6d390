// `testca issue`: a signing certificate from a verified PKCS#10 request.
#include <openssl/x509.h>

#include "testca/Authority.h"

namespace testca {

namespace {
constexpr int kLeafYears = 5;
}

bool DecodeRequest(const Bytes& der, RequestParts* parts, std::string* error) {
  if (SUCCEEDED(SplitCertRequest(der, parts))) return true;
  *error = "the request is not a DER CertificationRequest";
  return false;
}

Bytes TemporaryKey(const RequestParts& parts) {
  for (const RequestAttribute& a : parts.attributes)
    if (a.oid == "1.2.840.113549.1.9.63") return a.value;
  return {};
}

bool Issue(const std::string& dir, const Bytes& requestDer, Bytes* certificate, std::string* error) {
  RequestParts parts;
  if (!DecodeRequest(requestDer, &parts, error)) return false;
  const unsigned char* p = parts.publicKeyInfo.data();
  Pkey key(d2i_PUBKEY(nullptr, &p, static_cast<long>(parts.publicKeyInfo.size())));
  Alg alg;
  if (!key || !AlgOfKey(key.get(), &alg)) {
    *error = "the request's public key is neither RSA nor SM2";
    return false;
  }
  if (!VerifySignature(key.get(), parts.signatureAlgorithm, parts.info, parts.signature)) {
    *error = "the request's signature does not verify (algorithm " + parts.signatureAlgorithm + ")";
    return false;
  }
  Authority issuer;
  if (!LoadIssuer(dir, alg, &issuer, error)) return false;
  X509Ptr cert = MakeCertificate(parts.subject, key.get(), Usage::kSigning, kLeafYears, alg, &issuer,
                                 nullptr, error);
  if (!cert) return false;
  *certificate = CertificateDer(cert.get());
  return !certificate->empty();
}

}  // namespace testca
