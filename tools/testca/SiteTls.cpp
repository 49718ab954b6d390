// The demo site's TLS server credentials, issued by the test hierarchy.
#include "testca/SiteTls.h"

#include <openssl/evp.h>

#include "testca/Authority.h"

namespace testca {
namespace {

// The DER of "CN=Keyloom Bank demo site, O=Keyloom Bank, C=CN".
Bytes SiteName() {
  X509_NAME* name = X509_NAME_new();
  Bytes der;
  bool ok = name != nullptr;
  for (const auto& [field, value] : {std::pair{"C", "CN"}, {"O", "Keyloom Bank"}, {"CN", "Keyloom Bank demo site"}})
    ok = ok && X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(value), -1, -1, 0) == 1;
  if (ok) der = NameDer(name);
  X509_NAME_free(name);
  return der;
}

// "IP:a,IP:b,DNS:localhost" for the addresses the site listens on.
std::string AltNames(const std::vector<std::string>& binds) {
  std::string names;
  for (const std::string& bind : binds) names += "IP:" + bind + ",";
  return names + "DNS:localhost";
}

bool SpkiPin(X509* cert, std::string* pin) {
  unsigned char* spki = nullptr;
  const int n = i2d_PUBKEY(X509_get0_pubkey(cert), &spki);
  unsigned char digest[32];
  unsigned int length = 0;
  const bool ok = n > 0 && EVP_Digest(spki, static_cast<size_t>(n), digest, &length, EVP_sha256(), nullptr) == 1;
  OPENSSL_free(spki);
  if (ok) *pin = Base64Field(Bytes(digest, digest + length), 0, false);
  return ok;
}

}  // namespace

bool LoadSiteTls(SSL_CTX* ctx, const std::string& dir, const std::vector<std::string>& binds,
                 std::string* spki, std::string* error) {
  Authority issuer;
  if (!LoadIssuer(dir, Alg::kRsa, &issuer, error)) return false;
  Pkey key = NewKey(Alg::kRsa);
  if (!key) {
    *error = "cannot make the site's key";
    return false;
  }
  X509Ptr cert = MakeCertificate(SiteName(), key.get(), Usage::kServer, 1, Alg::kRsa, &issuer, nullptr, error,
                                 "SHA256", AltNames(binds).c_str());
  if (!cert) return false;
  // The chain is the site's certificate and the intermediate; the browser
  // holds (or pins past) the root.
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 || SSL_CTX_use_certificate(ctx, cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_add1_chain_cert(ctx, issuer.cert.get()) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1 || !SpkiPin(cert.get(), spki)) {
    *error = "cannot load the site's certificate and key for TLS";
    return false;
  }
  return true;
}

}  // namespace testca
