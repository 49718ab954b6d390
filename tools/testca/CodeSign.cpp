// A throwaway code-signing certificate under a root of its own, for
// Authenticode signatures that a test can verify end to end.
#include "testca/CodeSign.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "testca/Authority.h"

namespace testca {
namespace {

constexpr int kYears = 2;

struct X509NameFree {
  void operator()(X509_NAME* n) const { X509_NAME_free(n); }
};

Bytes Name(const char* commonName) {
  std::unique_ptr<X509_NAME, X509NameFree> name(X509_NAME_new());
  if (!name) return {};
  for (const auto& [field, value] : {std::pair{"C", "CN"}, {"O", "Keyloom Test CA"}, {"CN", commonName}})
    X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
  return NameDer(name.get());
}

// The signing certificate for `key`, issued by `root`.
X509Ptr MakeSigner(EVP_PKEY* key, const Authority& root) {
  X509Ptr cert(X509_new());
  const Bytes subject = Name("Keyloom Test Code Signing");
  const unsigned char* p = subject.data();
  X509_NAME* name = d2i_X509_NAME(nullptr, &p, static_cast<long>(subject.size()));
  BIGNUM* serial = BN_new();
  const bool ok =
      cert && name && serial && BN_rand(serial, 127, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) == 1 &&
      BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get())) != nullptr &&
      X509_set_version(cert.get(), 2) == 1 && X509_set_subject_name(cert.get(), name) == 1 &&
      X509_set_issuer_name(cert.get(), X509_get_subject_name(root.cert.get())) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), kYears * 365L * 24 * 3600) != nullptr &&
      X509_set_pubkey(cert.get(), key) == 1 &&
      AddExtension(cert.get(), root.cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
      AddExtension(cert.get(), root.cert.get(), NID_key_usage, "critical,digitalSignature") &&
      AddExtension(cert.get(), root.cert.get(), NID_ext_key_usage, "codeSigning") &&
      AddExtension(cert.get(), root.cert.get(), NID_subject_key_identifier, "hash") &&
      AddExtension(cert.get(), root.cert.get(), NID_authority_key_identifier, "keyid:always") &&
      X509_sign(cert.get(), root.key.get(), EVP_sha256()) > 0;
  BN_free(serial);
  X509_NAME_free(name);
  return ok ? std::move(cert) : nullptr;
}

std::string CertificatePem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  char* data = nullptr;
  const bool ok = bio != nullptr && PEM_write_bio_X509(bio, cert) == 1;
  const long size = ok ? BIO_get_mem_data(bio, &data) : 0;
  std::string text = size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
  BIO_free(bio);
  return text;
}

}  // namespace

bool MakeCodeSigningCertificate(const std::string& dir, std::string* error) {
  if (!MakeFolder(dir, error)) return false;
  Authority root{Alg::kRsa, nullptr, NewKey(Alg::kRsa)};
  Authority signer{Alg::kRsa, nullptr, NewKey(Alg::kRsa)};
  if (!root.key || !signer.key) {
    *error = "cannot generate the keys";
    return false;
  }
  root.cert = MakeCertificate(Name("Keyloom Test Code Signing Root"), root.key.get(), Usage::kRoot, kYears,
                              Alg::kRsa, nullptr, root.key.get(), error);
  if (!root.cert) return false;
  signer.cert = MakeSigner(signer.key.get(), root);
  if (!signer.cert) {
    *error = "cannot make the code-signing certificate";
    return false;
  }
  const std::string rootPem = CertificatePem(root.cert.get());
  const std::string chainPem = CertificatePem(signer.cert.get()) + rootPem;
  std::string keyPem;
  {
    BIO* bio = BIO_new(BIO_s_secmem());
    char* data = nullptr;
    const bool ok = bio != nullptr && PEM_write_bio_PrivateKey(bio, signer.key.get(), nullptr, nullptr, 0,
                                                               nullptr, nullptr) == 1;
    const long size = ok ? BIO_get_mem_data(bio, &data) : 0;
    if (size > 0) keyPem.assign(data, static_cast<size_t>(size));
    BIO_free(bio);
  }
  const bool written = !keyPem.empty() && !rootPem.empty() &&
                       WriteWholeFile(dir + "/codesign.key", keyPem, 0600, true, error) &&
                       WriteWholeFile(dir + "/codesign.crt", chainPem, 0644, true, error) &&
                       WriteWholeFile(dir + "/codesign-root.crt", rootPem, 0644, true, error);
  OPENSSL_cleanse(keyPem.data(), keyPem.size());
  if (!written && error->empty()) *error = "cannot write the code-signing files";
  return written;
}

}  // namespace testca
