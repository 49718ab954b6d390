// Certificate contexts: the decoded fields the callers read (CERT_INFO),
// reference counting and the properties of a context.
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "base/FileTime.h"
#include "platform/soft/SoftTable.h"
#include "platform/soft/certs/SoftCert.h"

namespace {

// The content octets of a DER element (tag and length skipped).
Bytes ContentOf(const unsigned char* der, int size) {
  if (der == nullptr || size < 2) return {};
  size_t pos = 1, len = der[pos++];
  if (len & 0x80) {
    const size_t n = len & 0x7F;
    len = 0;
    for (size_t i = 0; i < n && pos < static_cast<size_t>(size); ++i) len = (len << 8) | der[pos++];
  }
  if (pos + len > static_cast<size_t>(size)) return {};
  return Bytes(der + pos, der + pos + len);
}

template <typename T, typename F>
Bytes Encode(const T* object, F i2d) {
  unsigned char* out = nullptr;
  const int n = i2d(object, &out);
  if (n <= 0) return {};
  Bytes b(out, out + n);
  OPENSSL_free(out);
  return b;
}

std::string OidText(const ASN1_OBJECT* oid) {
  char text[128];
  const int n = OBJ_obj2txt(text, sizeof text, oid, 1);
  return n > 0 && n < static_cast<int>(sizeof text) ? std::string(text, n) : std::string();
}

Bytes ParamsOf(const X509_ALGOR* alg) {
  const ASN1_OBJECT* oid = nullptr;
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(&oid, &ptype, &pval, alg);
  if (ptype == V_ASN1_UNDEF) return {};
  ASN1_TYPE* t = ASN1_TYPE_new();
  if (t == nullptr) return {};
  ASN1_TYPE_set1(t, ptype, pval);
  Bytes b = Encode(t, i2d_ASN1_TYPE);
  ASN1_TYPE_free(t);
  return b;
}

// 100-nanosecond intervals since 1601-01-01 UTC.
FILETIME FileTimeOf(const ASN1_TIME* time) {
  FILETIME ft{};
  struct tm tm {};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return ft;
  return FileTimeOfTicks(FileTimeTicksOfUnixTime(timegm(&tm)));
}

CRYPTOAPI_BLOB Blob(Bytes& b) { return {static_cast<DWORD>(b.size()), b.data()}; }

// A library context without providers. Decoding a certificate there
// checks and splits its structure as in the default context, but leaves
// the public key undecoded: OpenSSL's key decoders cost several times the
// rest of the work, and the fields read here need only the key's octets.
OSSL_LIB_CTX* StructureOnlyContext() {
  static OSSL_LIB_CTX* const ctx = [] {
    OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
    // With a provider loaded explicitly, the default one is never loaded
    // on demand.
    if (c != nullptr && OSSL_PROVIDER_load(c, "null") == nullptr) {
      OSSL_LIB_CTX_free(c);
      c = nullptr;
    }
    return c;
  }();
  return ctx;
}

bool Decode(SoftCert* c) {
  const unsigned char* p = c->der.data();
  c->x509 = reinterpret_cast<X509*>(ASN1_item_d2i_ex(nullptr, &p, static_cast<long>(c->der.size()),
                                                      ASN1_ITEM_rptr(X509), StructureOnlyContext(),
                                                      nullptr));
  if (c->x509 == nullptr || p != c->der.data() + c->der.size()) return false;
  X509* x = c->x509;
  Bytes serialDer = Encode(X509_get0_serialNumber(x), i2d_ASN1_INTEGER);
  c->serial = ContentOf(serialDer.data(), static_cast<int>(serialDer.size()));
  std::reverse(c->serial.begin(), c->serial.end());
  c->issuer = Encode(X509_get_issuer_name(x), i2d_X509_NAME);
  c->subject = Encode(X509_get_subject_name(x), i2d_X509_NAME);
  const X509_ALGOR* sigAlg = X509_get0_tbs_sigalg(x);
  const ASN1_OBJECT* sigOid = nullptr;
  X509_ALGOR_get0(&sigOid, nullptr, nullptr, sigAlg);
  c->signatureOid = OidText(sigOid);
  c->signatureParams = ParamsOf(sigAlg);
  X509_PUBKEY* pub = X509_get_X509_PUBKEY(x);
  const unsigned char* key = nullptr;
  int keyLen = 0;
  X509_ALGOR* keyAlg = nullptr;
  ASN1_OBJECT* keyOid = nullptr;
  if (pub == nullptr || X509_PUBKEY_get0_param(&keyOid, &key, &keyLen, &keyAlg, pub) != 1)
    return false;
  c->keyOid = OidText(keyOid);
  c->keyParams = ParamsOf(keyAlg);
  c->publicKey.assign(key, key + keyLen);
  const int extCount = X509_get_ext_count(x);
  for (int i = 0; i < extCount; ++i) {
    X509_EXTENSION* e = X509_get_ext(x, i);
    c->extensionOids.push_back(OidText(X509_EXTENSION_get_object(e)));
    const ASN1_OCTET_STRING* v = X509_EXTENSION_get_data(e);
    c->extensionValues.emplace_back(v->data, v->data + v->length);
  }
  for (int i = 0; i < extCount; ++i)
    c->extensions.push_back({c->extensionOids[i].data(),
                             X509_EXTENSION_get_critical(X509_get_ext(x, i)) ? TRUE : FALSE,
                             Blob(c->extensionValues[i])});

  CERT_INFO& info = c->info;
  info.dwVersion = static_cast<DWORD>(X509_get_version(x));
  info.SerialNumber = Blob(c->serial);
  info.SignatureAlgorithm = {c->signatureOid.data(), Blob(c->signatureParams)};
  info.Issuer = Blob(c->issuer);
  info.NotBefore = FileTimeOf(X509_get0_notBefore(x));
  info.NotAfter = FileTimeOf(X509_get0_notAfter(x));
  info.Subject = Blob(c->subject);
  info.SubjectPublicKeyInfo = {{c->keyOid.data(), Blob(c->keyParams)},
                               {static_cast<DWORD>(c->publicKey.size()), c->publicKey.data(), 0}};
  info.cExtension = static_cast<DWORD>(c->extensions.size());
  info.rgExtension = c->extensions.empty() ? nullptr : c->extensions.data();
  c->context.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  c->context.pbCertEncoded = c->der.data();
  c->context.cbCertEncoded = static_cast<DWORD>(c->der.size());
  c->context.pCertInfo = &c->info;
  return true;
}

void DeleteCert(SoftCert* c) {
  X509_free(c->x509);
  delete c;
}

// Frees a store once it is closed and none of its contexts is held.
void MaybeFreeStore(SoftStore* s) {
  if (s == nullptr || s->opens > 0) return;
  for (SoftCert* c : s->certs)
    if (c->refs > 0) return;
  for (SoftCert* c : s->certs) DeleteCert(c);
  delete s;
}

Bytes Digest(const SoftCert& cert, const EVP_MD* md) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(cert.der.data(), cert.der.size(), out, &n, md, nullptr) != 1) return {};
  return Bytes(out, out + n);
}

}  // namespace

std::recursive_mutex& SoftStoreLock() {
  static std::recursive_mutex lock;
  return lock;
}

SoftCert* SoftNewCert(const BYTE* der, size_t size) {
  if (der == nullptr || size == 0) {
    SoftSetLastError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
  }
  auto* c = new SoftCert;
  c->der.assign(der, der + size);
  if (!Decode(c)) {
    DeleteCert(c);
    SoftSetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    return nullptr;
  }
  c->refs = 1;
  return c;
}

SoftCert* SoftCertOf(PCCERT_CONTEXT context) {
  return const_cast<SoftCert*>(reinterpret_cast<const SoftCert*>(context));
}

void SoftReleaseCert(SoftCert* c) {
  if (c == nullptr) return;
  std::lock_guard<std::recursive_mutex> hold(SoftStoreLock());
  if (--c->refs > 0) return;
  if (!c->inStore) {
    SoftStore* s = c->store;
    if (s != nullptr) {
      std::erase(s->certs, c);
      DeleteCert(c);
      MaybeFreeStore(s);
    } else {
      DeleteCert(c);
    }
    return;
  }
  MaybeFreeStore(c->store);
}

void SoftStoreAppend(SoftStore* store, SoftCert* cert) {
  cert->store = store;
  cert->inStore = true;
  cert->context.hCertStore = store;
  store->certs.push_back(cert);
}

Bytes SoftCertSha1(const SoftCert& cert) { return Digest(cert, EVP_sha1()); }
Bytes SoftCertMd5(const SoftCert& cert) { return Digest(cert, EVP_md5()); }

void SoftStoreRemove(SoftCert* cert) {
  cert->inStore = false;
  if (cert->refs > 0) return;
  std::erase(cert->store->certs, cert);
  DeleteCert(cert);
}

void SoftStoreClosed(SoftStore* store) { MaybeFreeStore(store); }
