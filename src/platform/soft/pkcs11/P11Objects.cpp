// Containers as token objects: key pairs, their certificates, listing and
// deletion.
#include <algorithm>
#include <cstring>

#include "platform/soft/pkcs11/P11.h"

namespace {

constexpr size_t kIdHashSize = 16;
const CK_BBOOL kTrue = CK_TRUE, kFalse = CK_FALSE;

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const void* value, size_t size) {
  return {type, const_cast<void*>(value), static_cast<CK_ULONG>(size)};
}

// The value of one attribute of an object.
DWORD Read(P11Token& t, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::vector<BYTE>* value) {
  CK_ATTRIBUTE a = Attr(type, nullptr, 0);
  CK_RV rv = t.f->C_GetAttributeValue(t.session, object, &a, 1);
  if (rv != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION) return P11Status(rv ? rv : CKR_GENERAL_ERROR);
  value->assign(a.ulValueLen, 0);
  a.pValue = value->data();
  return P11Status(t.f->C_GetAttributeValue(t.session, object, &a, 1));
}

// The objects of the container's two keys, of every class.
DWORD ContainerObjects(P11Token& t, const std::string& container, std::vector<CK_OBJECT_HANDLE>* all) {
  for (DWORD spec : {AT_KEYEXCHANGE, AT_SIGNATURE})
    for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE}) {
      std::vector<CK_OBJECT_HANDLE> found;
      if (DWORD e = P11Find(t, cls, P11KeyId(container, spec), &found)) return e;
      all->insert(all->end(), found.begin(), found.end());
    }
  return ERROR_SUCCESS;
}

// The pair of `spec` and its certificate, about to be replaced.
DWORD PairObjects(P11Token& t, const std::string& container, DWORD spec,
                  std::vector<CK_OBJECT_HANDLE>* all) {
  for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE}) {
    std::vector<CK_OBJECT_HANDLE> found;
    if (DWORD e = P11Find(t, cls, P11KeyId(container, spec), &found)) return e;
    all->insert(all->end(), found.begin(), found.end());
  }
  return ERROR_SUCCESS;
}

}  // namespace

std::vector<BYTE> P11KeyId(const std::string& container, DWORD spec) {
  BYTE digest[32];
  unsigned int size = 0;
  EVP_Digest(container.data(), container.size(), digest, &size, EVP_sha256(), nullptr);
  std::vector<BYTE> id(digest, digest + kIdHashSize);
  id.push_back(static_cast<BYTE>(spec));
  return id;
}

DWORD P11Find(P11Token& t, CK_OBJECT_CLASS cls, const std::vector<BYTE>& id,
              std::vector<CK_OBJECT_HANDLE>* found) {
  found->clear();
  CK_ATTRIBUTE query[] = {Attr(CKA_CLASS, &cls, sizeof cls), Attr(CKA_ID, id.data(), id.size())};
  const CK_ULONG count = id.empty() ? 1 : 2;
  if (CK_RV rv = t.f->C_FindObjectsInit(t.session, query, count)) return P11Status(rv);
  CK_OBJECT_HANDLE batch[32];
  CK_ULONG n = 0;
  CK_RV rv;
  while ((rv = t.f->C_FindObjects(t.session, batch, 32, &n)) == CKR_OK && n > 0)
    found->insert(found->end(), batch, batch + n);
  const CK_RV done = t.f->C_FindObjectsFinal(t.session);
  return P11Status(rv != CKR_OK ? rv : done);
}

DWORD P11ListContainers(P11Token& t, std::vector<std::string>* names) {
  names->clear();
  std::vector<CK_OBJECT_HANDLE> keys;
  if (DWORD e = P11Find(t, CKO_PUBLIC_KEY, {}, &keys)) return e;
  for (CK_OBJECT_HANDLE key : keys) {
    std::vector<BYTE> label, id;
    if (Read(t, key, CKA_LABEL, &label) != ERROR_SUCCESS || Read(t, key, CKA_ID, &id) != ERROR_SUCCESS)
      continue;  // not one of ours
    const std::string name(label.begin(), label.end());
    if (id != P11KeyId(name, AT_KEYEXCHANGE) && id != P11KeyId(name, AT_SIGNATURE)) continue;
    bool seen = false;
    for (const std::string& n : *names) seen = seen || n == name;
    if (!seen) names->push_back(name);
  }
  std::sort(names->begin(), names->end());
  return ERROR_SUCCESS;
}

DWORD P11Destroy(P11Token& t, const std::vector<CK_OBJECT_HANDLE>& objects) {
  DWORD first = ERROR_SUCCESS;
  for (CK_OBJECT_HANDLE o : objects) {
    const DWORD e = P11Status(t.f->C_DestroyObject(t.session, o));
    if (first == ERROR_SUCCESS) first = e;
  }
  return first;
}

DWORD P11GenerateKey(P11Token& t, const std::string& container, DWORD spec, DWORD bits) {
  std::vector<CK_OBJECT_HANDLE> old;
  if (DWORD e = PairObjects(t, container, spec, &old)) return e;
  const std::vector<BYTE> id = P11KeyId(container, spec);
  const CK_ULONG modulusBits = bits;
  const BYTE exponent[] = {0x01, 0x00, 0x01};
  const CK_BBOOL exchange = spec == AT_KEYEXCHANGE ? CK_TRUE : CK_FALSE;
  CK_ATTRIBUTE pub[] = {
      Attr(CKA_TOKEN, &kTrue, 1),          Attr(CKA_PRIVATE, &kFalse, 1),
      Attr(CKA_ID, id.data(), id.size()),  Attr(CKA_LABEL, container.data(), container.size()),
      Attr(CKA_VERIFY, &kTrue, 1),         Attr(CKA_ENCRYPT, &exchange, 1),
      Attr(CKA_WRAP, &exchange, 1),        Attr(CKA_MODULUS_BITS, &modulusBits, sizeof modulusBits),
      Attr(CKA_PUBLIC_EXPONENT, exponent, sizeof exponent)};
  CK_ATTRIBUTE priv[] = {
      Attr(CKA_TOKEN, &kTrue, 1),          Attr(CKA_PRIVATE, &kTrue, 1),
      Attr(CKA_ID, id.data(), id.size()),  Attr(CKA_LABEL, container.data(), container.size()),
      Attr(CKA_SENSITIVE, &kTrue, 1),      Attr(CKA_EXTRACTABLE, &kFalse, 1),
      Attr(CKA_SIGN, &kTrue, 1),           Attr(CKA_DECRYPT, &exchange, 1),
      Attr(CKA_UNWRAP, &exchange, 1)};
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE pubKey, privKey;
  if (CK_RV rv = t.f->C_GenerateKeyPair(t.session, &mechanism, pub, std::size(pub), priv,
                                        std::size(priv), &pubKey, &privKey))
    return P11Status(rv);
  // The new pair is whole before the old one goes.
  return P11Destroy(t, old);
}

DWORD P11CreateKey(P11Token& t, const std::string& container, DWORD spec,
                   const std::vector<SecretBytes>& v) {
  if (v.size() != 8) return static_cast<DWORD>(NTE_BAD_DATA);
  std::vector<CK_OBJECT_HANDLE> old;
  if (DWORD e = PairObjects(t, container, spec, &old)) return e;
  const std::vector<BYTE> id = P11KeyId(container, spec);
  const CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY, privClass = CKO_PRIVATE_KEY;
  const CK_KEY_TYPE rsa = CKK_RSA;
  const CK_BBOOL exchange = spec == AT_KEYEXCHANGE ? CK_TRUE : CK_FALSE;
  CK_ATTRIBUTE pub[] = {
      Attr(CKA_CLASS, &pubClass, sizeof pubClass), Attr(CKA_KEY_TYPE, &rsa, sizeof rsa),
      Attr(CKA_TOKEN, &kTrue, 1),                  Attr(CKA_PRIVATE, &kFalse, 1),
      Attr(CKA_ID, id.data(), id.size()),          Attr(CKA_LABEL, container.data(), container.size()),
      Attr(CKA_VERIFY, &kTrue, 1),                 Attr(CKA_ENCRYPT, &exchange, 1),
      Attr(CKA_MODULUS, v[0].data(), v[0].size()), Attr(CKA_PUBLIC_EXPONENT, v[1].data(), v[1].size())};
  CK_ATTRIBUTE priv[] = {
      Attr(CKA_CLASS, &privClass, sizeof privClass), Attr(CKA_KEY_TYPE, &rsa, sizeof rsa),
      Attr(CKA_TOKEN, &kTrue, 1),                    Attr(CKA_PRIVATE, &kTrue, 1),
      Attr(CKA_ID, id.data(), id.size()),            Attr(CKA_LABEL, container.data(), container.size()),
      Attr(CKA_SENSITIVE, &kTrue, 1),                Attr(CKA_EXTRACTABLE, &kFalse, 1),
      Attr(CKA_SIGN, &kTrue, 1),                     Attr(CKA_DECRYPT, &exchange, 1),
      Attr(CKA_UNWRAP, &exchange, 1),
      Attr(CKA_MODULUS, v[0].data(), v[0].size()),   Attr(CKA_PUBLIC_EXPONENT, v[1].data(), v[1].size()),
      Attr(CKA_PRIVATE_EXPONENT, v[2].data(), v[2].size()), Attr(CKA_PRIME_1, v[3].data(), v[3].size()),
      Attr(CKA_PRIME_2, v[4].data(), v[4].size()),   Attr(CKA_EXPONENT_1, v[5].data(), v[5].size()),
      Attr(CKA_EXPONENT_2, v[6].data(), v[6].size()), Attr(CKA_COEFFICIENT, v[7].data(), v[7].size())};
  CK_OBJECT_HANDLE pubKey, privKey;
  if (CK_RV rv = t.f->C_CreateObject(t.session, pub, std::size(pub), &pubKey)) return P11Status(rv);
  if (CK_RV rv = t.f->C_CreateObject(t.session, priv, std::size(priv), &privKey)) {
    t.f->C_DestroyObject(t.session, pubKey);  // nothing half-made
    return P11Status(rv);
  }
  return P11Destroy(t, old);
}

DWORD P11PublicKey(P11Token& t, const std::string& container, DWORD spec, EvpPkey* key) {
  std::vector<CK_OBJECT_HANDLE> found;
  if (DWORD e = P11Find(t, CKO_PUBLIC_KEY, P11KeyId(container, spec), &found)) return e;
  if (found.empty()) return static_cast<DWORD>(NTE_NO_KEY);
  std::vector<BYTE> n, e;
  if (DWORD r = Read(t, found[0], CKA_MODULUS, &n)) return r;
  if (DWORD r = Read(t, found[0], CKA_PUBLIC_EXPONENT, &e)) return r;
  Bignum bn(BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr));
  Bignum be(BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr));
  ParamBld build(OSSL_PARAM_BLD_new());
  if (!bn || !be || !build || OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, bn.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, be.get()) != 1)
    return static_cast<DWORD>(NTE_NO_MEMORY);
  Params params(OSSL_PARAM_BLD_to_param(build.get()));
  EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* out = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &out, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
    return static_cast<DWORD>(NTE_BAD_KEY);
  key->reset(out);
  return ERROR_SUCCESS;
}

DWORD P11PutCertificate(P11Token& t, const std::string& container, DWORD spec, const BYTE* der,
                        size_t size) {
  const std::vector<BYTE> id = P11KeyId(container, spec);
  std::vector<CK_OBJECT_HANDLE> old;
  if (DWORD e = P11Find(t, CKO_CERTIFICATE, id, &old)) return e;
  const BYTE* p = der;
  using X509Ptr = std::unique_ptr<X509, SoftOsslFree<X509, X509_free>>;
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(size)));
  if (!cert) return static_cast<DWORD>(NTE_BAD_DATA);
  auto encoded = [](auto* name, auto encode) {
    std::vector<BYTE> out(static_cast<size_t>(std::max(encode(name, nullptr), 0)));
    BYTE* q = out.data();
    encode(name, &q);
    return out;
  };
  const std::vector<BYTE> subject = encoded(X509_get_subject_name(cert.get()), i2d_X509_NAME);
  const std::vector<BYTE> issuer = encoded(X509_get_issuer_name(cert.get()), i2d_X509_NAME);
  const std::vector<BYTE> serial =
      encoded(X509_get0_serialNumber(cert.get()), [](const ASN1_INTEGER* a, BYTE** q) {
        return i2d_ASN1_INTEGER(a, q);
      });
  const CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
  const CK_CERTIFICATE_TYPE type = CKC_X_509;
  CK_ATTRIBUTE attrs[] = {
      Attr(CKA_CLASS, &cls, sizeof cls),   Attr(CKA_CERTIFICATE_TYPE, &type, sizeof type),
      Attr(CKA_TOKEN, &kTrue, 1),          Attr(CKA_PRIVATE, &kFalse, 1),
      Attr(CKA_ID, id.data(), id.size()),  Attr(CKA_LABEL, container.data(), container.size()),
      Attr(CKA_SUBJECT, subject.data(), subject.size()), Attr(CKA_ISSUER, issuer.data(), issuer.size()),
      Attr(CKA_SERIAL_NUMBER, serial.data(), serial.size()), Attr(CKA_VALUE, der, size)};
  CK_OBJECT_HANDLE object;
  if (CK_RV rv = t.f->C_CreateObject(t.session, attrs, std::size(attrs), &object)) return P11Status(rv);
  return P11Destroy(t, old);
}

DWORD P11GetCertificate(P11Token& t, const std::string& container, DWORD spec,
                        std::vector<BYTE>* der) {
  std::vector<CK_OBJECT_HANDLE> found;
  if (DWORD e = P11Find(t, CKO_CERTIFICATE, P11KeyId(container, spec), &found)) return e;
  if (found.empty()) return static_cast<DWORD>(NTE_NOT_FOUND);
  return Read(t, found.back(), CKA_VALUE, der);
}

DWORD P11DeleteContainer(P11Token& t, const std::string& container) {
  std::vector<CK_OBJECT_HANDLE> all;
  if (DWORD e = ContainerObjects(t, container, &all)) return e;
  if (all.empty()) return static_cast<DWORD>(NTE_BAD_KEYSET);
  return P11Destroy(t, all);
}
