// Certificates of the test hierarchies: made, signed and checked with
// OpenSSL; SM2 signatures always with the signer identifier kSm2SignerId.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstring>

#include "testca/Authority.h"

namespace testca {
namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// A positive random serial number of 16 octets.
bool RandomSerial(X509* cert) {
  unsigned char octets[16];
  if (RAND_bytes(octets, sizeof octets) != 1) return false;
  octets[0] &= 0x7F;
  octets[0] |= 0x01;
  BIGNUM* bn = BN_bin2bn(octets, sizeof octets, nullptr);
  const bool ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
  BN_free(bn);
  return ok;
}

// A context that signs or verifies with `key` and digest `md`, with the
// SM2 identifier where the key is SM2.
bool InitContext(EVP_MD_CTX* md, EVP_PKEY* key, const char* digest, bool sign) {
  EVP_PKEY_CTX* pctx = nullptr;
  const int ok = sign ? EVP_DigestSignInit_ex(md, &pctx, digest, nullptr, nullptr, key, nullptr)
                      : EVP_DigestVerifyInit_ex(md, &pctx, digest, nullptr, nullptr, key, nullptr);
  if (ok != 1) return false;
  if (std::strcmp(digest, "SM3") == 0)
    return EVP_PKEY_CTX_set1_id(pctx, kSm2SignerId, sizeof kSm2SignerId - 1) == 1;
  return true;
}

const char* KeyUsage(Usage usage, Alg alg) {
  switch (usage) {
    case Usage::kRoot:
    case Usage::kIntermediate:
      return "critical,keyCertSign,cRLSign";
    case Usage::kSigning:
      return "critical,digitalSignature,nonRepudiation";
    case Usage::kServer:
      return "critical,digitalSignature,keyEncipherment";
    case Usage::kEncryption:
      break;
  }
  return alg == Alg::kSm2 ? "critical,keyEncipherment,dataEncipherment,keyAgreement"
                          : "critical,keyEncipherment,dataEncipherment";
}

}  // namespace

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  const bool ok = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

X509Ptr LoadCertificate(const std::string& path) {
  Bytes content;
  std::string ignored;
  if (!ReadWholeFile(path, &content, &ignored)) return nullptr;
  BIO* bio = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
  X509Ptr cert(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
  BIO_free(bio);
  return cert;
}

Pkey LoadKey(const std::string& path) {
  Bytes content;
  std::string ignored;
  if (!ReadWholeFile(path, &content, &ignored)) return nullptr;
  BIO* bio = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
  Pkey key(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr));
  BIO_free(bio);
  OPENSSL_cleanse(content.data(), content.size());
  return key;
}

// Checks `cert`'s signature with `key` (SM2: with kSm2SignerId).
bool SignedBy(X509* cert, EVP_PKEY* key, Alg alg) {
  if (alg == Alg::kSm2) {
    ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
    if (id == nullptr ||
        ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>(kSm2SignerId), sizeof kSm2SignerId - 1) != 1) {
      ASN1_OCTET_STRING_free(id);
      return false;
    }
    X509_set0_distinguishing_id(cert, id);
  }
  return X509_verify(cert, key) == 1;
}

const char* AlgName(Alg alg) { return alg == Alg::kSm2 ? "sm2" : "rsa"; }

bool AlgOfKey(EVP_PKEY* key, Alg* alg) {
  if (EVP_PKEY_is_a(key, "RSA")) {
    *alg = Alg::kRsa;
    return true;
  }
  char group[32] = {};
  size_t length = 0;
  if ((EVP_PKEY_is_a(key, "SM2") || EVP_PKEY_is_a(key, "EC")) &&
      EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) == 1 &&
      std::strcmp(group, "SM2") == 0) {
    *alg = Alg::kSm2;
    return true;
  }
  return false;
}

bool LoadIssuer(const std::string& dir, Alg alg, Authority* issuer, std::string* error) {
  const std::string prefix = dir + "/" + AlgName(alg);
  X509Ptr root = LoadCertificate(prefix + "-root.crt");
  issuer->alg = alg;
  issuer->cert = LoadCertificate(prefix + "-ca.crt");
  issuer->key = LoadKey(prefix + "-ca.key");
  if (!root || !issuer->cert || !issuer->key) {
    *error = "cannot read the " + std::string(AlgName(alg)) + " hierarchy in " + dir +
             " (run testca init --dir " + dir + ")";
    return false;
  }
  if (!SignedBy(issuer->cert.get(), X509_get0_pubkey(root.get()), alg) ||
      X509_check_private_key(issuer->cert.get(), issuer->key.get()) != 1) {
    *error = prefix + "-ca.crt is not signed by its root or does not match its key";
    return false;
  }
  return true;
}

X509Ptr MakeCertificate(const Bytes& subject, EVP_PKEY* key, Usage usage, int years, Alg alg,
                        const Authority* issuer, EVP_PKEY* signer, std::string* error,
                        const char* digest, const char* altNames) {
  *error = "cannot make the certificate";
  const unsigned char* p = subject.data();
  X509_NAME* name = d2i_X509_NAME(nullptr, &p, static_cast<long>(subject.size()));
  X509Ptr cert(X509_new());
  X509* x = cert.get();
  X509* issuerCert = issuer ? issuer->cert.get() : x;
  bool ok = name != nullptr && x != nullptr && X509_set_version(x, 2) == 1 && RandomSerial(x) &&
            X509_gmtime_adj(X509_getm_notBefore(x), -86400L) != nullptr &&
            X509_time_adj_ex(X509_getm_notAfter(x), years * 365 + years / 4, -86400L, nullptr) != nullptr &&
            X509_set_subject_name(x, name) == 1 &&
            X509_set_issuer_name(x, X509_get_subject_name(issuerCert)) == 1 &&
            X509_set_pubkey(x, key) == 1 &&
            AddExtension(x, issuerCert, NID_basic_constraints,
                         usage == Usage::kRoot           ? "critical,CA:TRUE"
                         : usage == Usage::kIntermediate ? "critical,CA:TRUE,pathlen:0"
                                                         : "critical,CA:FALSE") &&
            AddExtension(x, issuerCert, NID_key_usage, KeyUsage(usage, alg)) &&
            AddExtension(x, issuerCert, NID_subject_key_identifier, "hash") &&
            (usage == Usage::kRoot || AddExtension(x, issuerCert, NID_authority_key_identifier, "keyid")) &&
            (usage != Usage::kServer || (altNames != nullptr &&
                                         AddExtension(x, issuerCert, NID_ext_key_usage, "serverAuth") &&
                                         AddExtension(x, issuerCert, NID_subject_alt_name, altNames)));
  X509_NAME_free(name);
  if (!ok) return nullptr;
  MdCtx md(EVP_MD_CTX_new());
  if (!md || !InitContext(md.get(), issuer ? issuer->key.get() : signer,
                          alg == Alg::kSm2 ? "SM3" : digest ? digest : "SHA256", true) ||
      X509_sign_ctx(x, md.get()) <= 0) {
    *error = "cannot sign the certificate";
    return nullptr;
  }
  return cert;
}

bool VerifySignature(EVP_PKEY* key, const std::string& oid, const Bytes& data, const Bytes& signature) {
  const char* digest = oid == "1.2.840.113549.1.1.5"    ? "SHA1"
                       : oid == "1.2.840.113549.1.1.11" ? "SHA256"
                       : oid == "1.2.840.113549.1.1.4"  ? "MD5"
                       : oid == "1.2.156.10197.1.501"   ? "SM3"
                                                        : nullptr;
  Alg alg;
  if (digest == nullptr || !AlgOfKey(key, &alg) || (alg == Alg::kSm2) != (std::strcmp(digest, "SM3") == 0))
    return false;
  MdCtx md(EVP_MD_CTX_new());
  return md && InitContext(md.get(), key, digest, false) &&
         EVP_DigestVerify(md.get(), signature.data(), signature.size(), data.data(), data.size()) == 1;
}

Bytes CertificateDer(X509* cert) {
  unsigned char* out = nullptr;
  const int n = i2d_X509(cert, &out);
  Bytes der;
  if (n > 0) der.assign(out, out + n);
  OPENSSL_free(out);
  return der;
}

Bytes NameDer(const X509_NAME* name) {
  const unsigned char* der = nullptr;
  size_t size = 0;
  if (X509_NAME_get0_der(name, &der, &size) != 1) return {};
  return Bytes(der, der + size);
}

}  // namespace testca
