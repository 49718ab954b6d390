#include "support/TestPki.h"

#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <stdexcept>

namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

}  // namespace

PkiCert MakeCert(PkiAlg alg, const CertSpec& spec, const PkiCert* issuer) {
  PkiCert out;
  EVP_PKEY* key = spec.key;
  if (key) EVP_PKEY_up_ref(key);
  else key = alg == PkiAlg::kSm2 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")
                                 : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024});
  Check(key != nullptr, "keygen");
  out.key.reset(key, &EVP_PKEY_free);
  X509* x = X509_new();
  out.x509.reset(x, &X509_free);
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), spec.serial);
  X509_gmtime_adj(X509_getm_notBefore(x), spec.notBeforeDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(x), spec.notAfterDays * 86400L);
  X509_NAME* name = X509_get_subject_name(x);
  for (const auto& [field, value] : spec.subject)
    Check(X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                     0) == 1,
          "name");
  X509* signer = issuer ? issuer->x509.get() : x;
  X509_set_issuer_name(x, X509_get_subject_name(signer));
  X509_set_pubkey(x, key);
  AddExtension(x, signer, NID_basic_constraints, spec.ca ? "critical,CA:TRUE" : "CA:FALSE");
  AddExtension(x, signer, NID_subject_key_identifier, "hash");
  if (issuer) AddExtension(x, signer, NID_authority_key_identifier, "keyid");
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_PKEY_CTX* pctx = nullptr;
  const char* digest = alg == PkiAlg::kRsaSha1 ? "SHA1" : alg == PkiAlg::kSm2 ? "SM3" : "SHA256";
  Check(EVP_DigestSignInit_ex(md, &pctx, digest, nullptr, nullptr,
                              issuer ? issuer->key.get() : key, nullptr) == 1,
        "sign init");
  if (alg == PkiAlg::kSm2) {
    static const char id[] = "1234567812345678";
    Check(EVP_PKEY_CTX_set1_id(pctx, id, sizeof id - 1) == 1, "sm2 id");
  }
  Check(X509_sign_ctx(x, md) > 0, "sign");
  EVP_MD_CTX_free(md);
  out.der = I2d<X509>(x, i2d_X509);
  return out;
}

Bytes CertOfKey(EVP_PKEY* key) {
  static const PkiCert issuer = MakeCert(PkiAlg::kRsaSha256, {{{"CN", "Keyloom test CA"}}}, nullptr);
  return MakeCert(PkiAlg::kRsaSha256, {{{"CN", "Keyloom test"}}, 2, -1, 365, false, key}, &issuer).der;
}

Bytes TamperSignature(const Bytes& der) {
  Bytes d = der;
  d[d.size() - 3] ^= 0x01;  // inside the signature bits at the end
  return d;
}

Bytes MakeBundle(const std::vector<Bytes>& certs) {
  PKCS7* p7 = PKCS7_new();
  PKCS7_set_type(p7, NID_pkcs7_signed);
  PKCS7_content_new(p7, NID_pkcs7_data);
  for (const Bytes& d : certs) {
    const unsigned char* p = d.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(d.size()));
    Check(x != nullptr, "d2i");
    PKCS7_add_certificate(p7, x);
    X509_free(x);
  }
  const Bytes bundle = I2d<PKCS7>(p7, i2d_PKCS7);
  PKCS7_free(p7);
  Check(!bundle.empty(), "i2d_PKCS7");
  return bundle;
}

Hierarchy MakeHierarchy(PkiAlg alg, const std::string& tag) {
  Hierarchy h;
  h.root = MakeCert(alg, {{{"C", "CN"}, {"O", "Keyloom Test"}, {"CN", tag + " Root"}}, 1}, nullptr);
  h.intermediate =
      MakeCert(alg, {{{"C", "CN"}, {"O", "Keyloom Test"}, {"CN", tag + " CA"}}, 2}, &h.root);
  h.leaf = MakeCert(alg, {{{"C", "CN"}, {"CN", tag + " User"}}, 3, -1, 365, false}, &h.intermediate);
  return h;
}

X509Ptr X509FromDer(const Bytes& der) {
  const unsigned char* p = der.data();
  return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

Pkey KeyFromSpki(const Bytes& spki) {
  const unsigned char* p = spki.data();
  return Pkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
}

bool EvpVerifies(EVP_PKEY* key, const EVP_MD* md, const Bytes& data, const Bytes& signature,
                 const char* sm2Id) {
  std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>> pctx(
      key ? EVP_PKEY_CTX_new(key, nullptr) : nullptr);
  std::unique_ptr<EVP_MD_CTX, OpenSslFree<EVP_MD_CTX, EVP_MD_CTX_free>> ctx(EVP_MD_CTX_new());
  if (!pctx) return false;
  if (sm2Id) {
    EVP_PKEY_CTX_set1_id(pctx.get(), sm2Id, strlen(sm2Id));
    EVP_MD_CTX_set_pkey_ctx(ctx.get(), pctx.get());
  }
  return EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data.data(), data.size()) == 1;
}
