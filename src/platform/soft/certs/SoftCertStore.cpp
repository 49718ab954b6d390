// Certificate stores: memory stores, PKCS#7 bundles opened as read-only
// memory stores, and the registry-backed system stores; walking, finding,
// adding, and the properties of their certificates.
#include <openssl/pkcs7.h>

#include <cstring>

#include "platform/soft/certs/SoftCert.h"
#include "platform/soft/SoftTable.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

BOOL Fail(DWORD error) {
  SoftSetLastError(error);
  return FALSE;
}

SoftStore* StoreOf(HCERTSTORE h) { return static_cast<SoftStore*>(h); }

// Reads the certificates of a PKCS#7 SignedData message, in message order.
bool ReadPkcs7(const CRYPT_DATA_BLOB* blob, SoftStore* store) {
  if (blob == nullptr || blob->pbData == nullptr || blob->cbData == 0) return false;
  const unsigned char* p = blob->pbData;
  PKCS7* msg = d2i_PKCS7(nullptr, &p, static_cast<long>(blob->cbData));
  if (msg == nullptr) return false;
  bool ok = PKCS7_type_is_signed(msg) && msg->d.sign != nullptr;
  STACK_OF(X509)* certs = ok ? msg->d.sign->cert : nullptr;
  for (int i = 0; ok && i < sk_X509_num(certs); ++i) {
    unsigned char* der = nullptr;
    const int n = i2d_X509(sk_X509_value(certs, i), &der);
    SoftCert* c = n > 0 ? SoftNewCert(der, static_cast<size_t>(n)) : nullptr;
    OPENSSL_free(der);
    if (c == nullptr) {
      ok = false;
      break;
    }
    c->refs = 0;
    SoftStoreAppend(store, c);
  }
  PKCS7_free(msg);
  return ok;
}

HCERTSTORE CertOpenStoreImpl(const char* provider, DWORD, HCRYPTPROV, DWORD flags,
                             const void* para) {
  auto* store = new SoftStore;
  store->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
  if (provider == CERT_STORE_PROV_MEMORY) return store;
  if (provider == CERT_STORE_PROV_PKCS7) {
    store->readOnly = true;
    if (ReadPkcs7(static_cast<const CRYPT_DATA_BLOB*>(para), store)) return store;
    store->opens = 0;
    SoftStoreClosed(store);
    SoftSetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    return nullptr;
  }
  if (provider == CERT_STORE_PROV_SYSTEM_W) {
    const auto* name = static_cast<const char16_t*>(para);
    store->kind = SoftStore::kSystem;
    if (name != nullptr) store->name = name;
    // A name is one registry key name: no separators that would reach
    // another part of the registry.
    const bool named = name != nullptr && *name != 0 &&
                       store->name.find(u'\\') == std::u16string::npos;
    if (named && SoftLoadSystemStore(store, flags)) return store;
    const DWORD error = named ? SoftGetLastError() : ERROR_INVALID_PARAMETER;
    store->opens = 0;
    SoftStoreClosed(store);
    SoftSetLastError(error);
    return nullptr;
  }
  delete store;
  SoftSetLastError(ERROR_FILE_NOT_FOUND);  // no such store provider
  return nullptr;
}

BOOL CertCloseStoreImpl(HCERTSTORE h, DWORD) {
  if (h == nullptr) return TRUE;
  Lock hold(SoftStoreLock());
  SoftStore* s = StoreOf(h);
  if (s->opens > 0) --s->opens;
  SoftStoreClosed(s);
  return TRUE;
}

// The position after `previous` in its store, releasing `previous`.
size_t StartAfter(SoftStore* s, PCCERT_CONTEXT previous) {
  if (previous == nullptr) return 0;
  SoftCert* prev = SoftCertOf(previous);
  size_t at = s->certs.size();
  for (size_t i = 0; i < s->certs.size(); ++i)
    if (s->certs[i] == prev) at = i + 1;
  SoftReleaseCert(prev);
  return at;
}

template <typename Match>
PCCERT_CONTEXT Walk(HCERTSTORE h, PCCERT_CONTEXT previous, Match match) {
  if (h == nullptr) {
    SoftSetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Lock hold(SoftStoreLock());
  SoftStore* s = StoreOf(h);
  for (size_t i = StartAfter(s, previous); i < s->certs.size(); ++i) {
    SoftCert* c = s->certs[i];
    if (!c->inStore || !match(*c)) continue;
    ++c->refs;
    return &c->context;
  }
  SoftSetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  return nullptr;
}

PCCERT_CONTEXT CertEnumCertificatesInStoreImpl(HCERTSTORE h, PCCERT_CONTEXT previous) {
  return Walk(h, previous, [](const SoftCert&) { return true; });
}

PCCERT_CONTEXT CertFindCertificateInStoreImpl(HCERTSTORE h, DWORD, DWORD, DWORD findType,
                                              const void* para, PCCERT_CONTEXT previous) {
  if (findType == CERT_FIND_ANY) return CertEnumCertificatesInStoreImpl(h, previous);
  if (findType == CERT_FIND_EXISTING && para != nullptr) {
    const SoftCert* wanted = SoftCertOf(static_cast<PCCERT_CONTEXT>(para));
    Bytes der = wanted->der;
    return Walk(h, previous, [&](const SoftCert& c) { return c.der == der; });
  }
  if (findType == CERT_FIND_SHA1_HASH && para != nullptr) {
    const auto* hash = static_cast<const CRYPT_HASH_BLOB*>(para);
    Bytes wanted(hash->pbData, hash->pbData + hash->cbData);
    return Walk(h, previous, [&](const SoftCert& c) { return SoftCertSha1(c) == wanted; });
  }
  if (previous != nullptr) SoftReleaseCert(SoftCertOf(previous));
  SoftSetLastError(static_cast<DWORD>(E_INVALIDARG));
  return nullptr;
}

SoftCert* FindSame(SoftStore* s, const Bytes& der) {
  for (SoftCert* c : s->certs)
    if (c->inStore && c->der == der) return c;
  return nullptr;
}

// Adds a new context `fresh` (one reference, owned here) to the store.
BOOL AddToStore(SoftStore* s, SoftCert* fresh, DWORD disposition, PCCERT_CONTEXT* added) {
  if (added != nullptr) *added = nullptr;
  std::unique_ptr<SoftCert, void (*)(SoftCert*)> owned(fresh, &SoftReleaseCert);
  if (s->readOnly) return Fail(ERROR_ACCESS_DENIED);
  Lock hold(SoftStoreLock());
  SoftCert* existing = FindSame(s, fresh->der);
  if (existing != nullptr) {
    switch (disposition) {
      case CERT_STORE_ADD_NEW:
        return Fail(static_cast<DWORD>(CRYPT_E_EXISTS));
      case CERT_STORE_ADD_USE_EXISTING:
        if (added != nullptr) ++existing->refs, *added = &existing->context;
        return TRUE;
      case CERT_STORE_ADD_REPLACE_EXISTING:
      case CERT_STORE_ADD_ALWAYS:
        break;
      default:
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
  } else if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_ALWAYS) {
    return Fail(static_cast<DWORD>(E_INVALIDARG));
  }
  if (s->kind == SoftStore::kSystem) {
    fresh->origin = s->hive;
    const DWORD error = SoftWriteSystemEntry(s, *fresh);
    if (error != ERROR_SUCCESS) return Fail(error);
  }
  if (existing != nullptr && disposition == CERT_STORE_ADD_REPLACE_EXISTING)
    SoftStoreRemove(existing);
  SoftCert* c = owned.release();
  c->refs = 0;
  SoftStoreAppend(s, c);
  if (added != nullptr) ++c->refs, *added = &c->context;
  return TRUE;
}

BOOL CertAddEncodedCertificateToStoreImpl(HCERTSTORE h, DWORD, const BYTE* encoded,
                                          DWORD encodedLen, DWORD disposition,
                                          PCCERT_CONTEXT* added) {
  if (added != nullptr) *added = nullptr;
  if (h == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  SoftCert* c = SoftNewCert(encoded, encodedLen);
  if (c == nullptr) return FALSE;
  return AddToStore(StoreOf(h), c, disposition, added);
}

BOOL CertAddCertificateContextToStoreImpl(HCERTSTORE h, PCCERT_CONTEXT cert, DWORD disposition,
                                          PCCERT_CONTEXT* added) {
  if (added != nullptr) *added = nullptr;
  if (h == nullptr || cert == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  SoftCert* source = SoftCertOf(cert);
  SoftCert* c = SoftNewCert(source->der.data(), source->der.size());
  if (c == nullptr) return FALSE;
  {
    Lock hold(SoftStoreLock());
    c->properties = source->properties;  // properties travel with the certificate
  }
  return AddToStore(StoreOf(h), c, disposition, added);
}

// The caller's reference goes in every case; the entry leaves the store
// (and the registry) only when the store may be written.
BOOL CertDeleteCertificateFromStoreImpl(PCCERT_CONTEXT cert) {
  if (cert == nullptr) return Fail(static_cast<DWORD>(E_INVALIDARG));
  SoftCert* c = SoftCertOf(cert);
  Lock hold(SoftStoreLock());
  SoftStore* s = c->store;
  DWORD error = ERROR_SUCCESS;
  if (c->inStore && s != nullptr) {
    if (s->readOnly) error = static_cast<DWORD>(E_ACCESSDENIED);
    else if (s->kind == SoftStore::kSystem) error = SoftDeleteSystemEntry(s, *c);
    if (error == ERROR_SUCCESS) c->inStore = false;
  }
  SoftReleaseCert(c);
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

BOOL GiveBytes(const void* value, size_t size, void* data, DWORD* dataLen) {
  if (dataLen == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (data == nullptr) {
    *dataLen = static_cast<DWORD>(size);
    return TRUE;
  }
  const DWORD room = *dataLen;
  *dataLen = static_cast<DWORD>(size);
  if (room < size) return Fail(ERROR_MORE_DATA);
  std::memcpy(data, value, size);
  return TRUE;
}

BOOL CertGetCertificateContextPropertyImpl(PCCERT_CONTEXT cert, DWORD propId, void* data,
                                           DWORD* dataLen) {
  if (cert == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  SoftCert* c = SoftCertOf(cert);
  if (propId == CERT_SHA1_HASH_PROP_ID || propId == CERT_MD5_HASH_PROP_ID) {
    const Bytes h = propId == CERT_SHA1_HASH_PROP_ID ? SoftCertSha1(*c) : SoftCertMd5(*c);
    return GiveBytes(h.data(), h.size(), data, dataLen);
  }
  Bytes value;
  {
    Lock hold(SoftStoreLock());
    auto it = c->properties.find(propId);
    if (it == c->properties.end()) return Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    value = it->second;
  }
  if (propId != CERT_KEY_PROV_INFO_PROP_ID) return GiveBytes(value.data(), value.size(), data, dataLen);
  if (dataLen == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const size_t need = SoftDecodeKeyProvInfo(value, nullptr, 0);
  if (need == 0) return Fail(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
  if (data == nullptr) {
    *dataLen = static_cast<DWORD>(need);
    return TRUE;
  }
  const DWORD room = *dataLen;
  *dataLen = static_cast<DWORD>(need);
  if (room < need) return Fail(ERROR_MORE_DATA);
  SoftDecodeKeyProvInfo(value, data, room);
  return TRUE;
}

BOOL CertSetCertificateContextPropertyImpl(PCCERT_CONTEXT cert, DWORD propId, DWORD,
                                           const void* data) {
  if (cert == nullptr || propId == 0 || propId == CERT_CERT_PROP_ID ||
      propId == CERT_SHA1_HASH_PROP_ID || propId == CERT_MD5_HASH_PROP_ID)
    return Fail(static_cast<DWORD>(E_INVALIDARG));
  SoftCert* c = SoftCertOf(cert);
  Bytes value;
  if (data != nullptr && propId == CERT_KEY_PROV_INFO_PROP_ID) {
    value = SoftSerializeKeyProvInfo(*static_cast<const CRYPT_KEY_PROV_INFO*>(data));
  } else if (data != nullptr) {
    const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(data);
    value.assign(blob->pbData, blob->pbData + blob->cbData);
  }
  Lock hold(SoftStoreLock());
  SoftStore* s = c->inStore ? c->store : nullptr;
  std::map<DWORD, Bytes> saved = c->properties;
  if (data == nullptr) c->properties.erase(propId);
  else c->properties[propId] = value;
  if (s != nullptr && s->kind == SoftStore::kSystem) {
    const DWORD error = s->readOnly ? ERROR_ACCESS_DENIED : SoftWriteSystemEntry(s, *c);
    if (error != ERROR_SUCCESS) {
      c->properties = std::move(saved);  // nothing half-written
      return Fail(error);
    }
  }
  return TRUE;
}

PCCERT_CONTEXT CertDuplicateCertificateContextImpl(PCCERT_CONTEXT cert) {
  if (cert == nullptr) return nullptr;
  Lock hold(SoftStoreLock());
  ++SoftCertOf(cert)->refs;
  return cert;
}

BOOL CertFreeCertificateContextImpl(PCCERT_CONTEXT cert) {
  SoftReleaseCert(SoftCertOf(cert));
  return TRUE;
}

}  // namespace

void SoftFillCertStores(Platform& t) {
  t.CertOpenStore = &CertOpenStoreImpl;
  t.CertCloseStore = &CertCloseStoreImpl;
  t.CertEnumCertificatesInStore = &CertEnumCertificatesInStoreImpl;
  t.CertFindCertificateInStore = &CertFindCertificateInStoreImpl;
  t.CertAddCertificateContextToStore = &CertAddCertificateContextToStoreImpl;
  t.CertAddEncodedCertificateToStore = &CertAddEncodedCertificateToStoreImpl;
  t.CertDeleteCertificateFromStore = &CertDeleteCertificateFromStoreImpl;
  t.CertGetCertificateContextProperty = &CertGetCertificateContextPropertyImpl;
  t.CertSetCertificateContextProperty = &CertSetCertificateContextPropertyImpl;
  t.CertDuplicateCertificateContext = &CertDuplicateCertificateContextImpl;
  t.CertFreeCertificateContext = &CertFreeCertificateContextImpl;
}
