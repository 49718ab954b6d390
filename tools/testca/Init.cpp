// `testca init`: the RSA and SM2 hierarchies, each a root and an
// intermediate, valid from a day ago for twenty years.
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "testca/Authority.h"

namespace testca {
namespace {

constexpr int kYears = 20;

Bytes Name(const char* commonName) {
  X509_NAME* name = X509_NAME_new();
  const auto add = [name](const char* field, const char* value) {
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
  };
  add("C", "CN");
  add("O", "Keyloom Test CA");
  add("CN", commonName);
  Bytes der = NameDer(name);
  X509_NAME_free(name);
  return der;
}

std::string Pem(X509* cert, EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_secmem());
  if (bio == nullptr) return {};
  const int ok = cert ? PEM_write_bio_X509(bio, cert)
                      : PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string text = ok == 1 && size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
  BIO_free(bio);
  return text;
}

}  // namespace

Pkey NewKey(Alg alg) {
  return Pkey(alg == Alg::kSm2 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")
                               : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}));
}

bool WriteAuthority(const std::string& prefix, const Authority& a, std::string* error) {
  std::string key = Pem(nullptr, a.key.get());
  const bool ok = !key.empty() && WriteWholeFile(prefix + ".key", key, 0600, true, error) &&
                  WriteWholeFile(prefix + ".crt", Pem(a.cert.get(), nullptr), 0644, true, error);
  OPENSSL_cleanse(key.data(), key.size());
  return ok;
}

namespace {

bool MakeHierarchy(const std::string& dir, Alg alg, std::string* error) {
  const std::string prefix = dir + "/" + AlgName(alg);
  const std::string title = alg == Alg::kSm2 ? "Keyloom Test SM2 " : "Keyloom Test RSA ";
  Authority root{alg, nullptr, NewKey(alg)};
  Authority ca{alg, nullptr, NewKey(alg)};
  if (!root.key || !ca.key) {
    *error = "cannot generate the keys";
    return false;
  }
  root.cert = MakeCertificate(Name((title + "Root").c_str()), root.key.get(), Usage::kRoot, kYears,
                              alg, nullptr, root.key.get(), error);
  if (root.cert)
    ca.cert = MakeCertificate(Name((title + "CA").c_str()), ca.key.get(), Usage::kIntermediate,
                              kYears, alg, &root, nullptr, error);
  return root.cert && ca.cert && WriteAuthority(prefix + "-root", root, error) && WriteAuthority(prefix + "-ca", ca, error);
}

}  // namespace

bool MakeFolder(const std::string& dir, std::string* error) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *error = dir + " is not a folder";
    return false;
  }
  return true;
}

bool Init(const std::string& dir, std::string* error) {
  return MakeFolder(dir, error) && MakeHierarchy(dir, Alg::kRsa, error) && MakeHierarchy(dir, Alg::kSm2, error);
}

}  // namespace testca
