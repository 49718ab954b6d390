// System stores in the registry, as the platform keeps them:
// <hive>\Software\Microsoft\SystemCertificates\<store>\Certificates\<SHA-1>
// with the value "Blob" holding the serialized entry. The current user's
// "Root" and "CA" also show the local machine's entries.
#include "platform/soft/certs/SoftCert.h"
#include "platform/soft/SoftTable.h"

namespace {

std::u16string CertificatesPath(const std::u16string& store) {
  return u"Software\\Microsoft\\SystemCertificates\\" + store + u"\\Certificates";
}

bool SameText(const std::u16string& a, const char16_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != 0; ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return i == a.size() && b[i] == 0;
}

std::u16string HexUpper(const Bytes& b) {
  static const char16_t digits[] = u"0123456789ABCDEF";
  std::u16string s;
  for (BYTE v : b) s += digits[v >> 4], s += digits[v & 15];
  return s;
}

struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h != nullptr) Plat().RegCloseKey(h);
  }
};

// One query for the usual entry; a second when it is larger. Returns the
// registry's status (ERROR_FILE_NOT_FOUND: no "Blob" value).
LSTATUS ReadBlob(HKEY key, Bytes* out, DWORD* type) {
  DWORD size = 4096;
  out->resize(size);
  LSTATUS rc = Plat().RegQueryValueExW(key, u"Blob", nullptr, type, out->data(), &size);
  if (rc == ERROR_MORE_DATA) {
    out->resize(size);
    rc = Plat().RegQueryValueExW(key, u"Blob", nullptr, type, out->data(), &size);
  }
  if (rc == ERROR_SUCCESS) out->resize(size);
  return rc;
}

// Appends the entries of one hive's store. Entries that do not read as a
// certificate, or that went since the enumeration, are skipped; a registry
// that cannot be read fails the load with its status, so that damage or a
// refused home never shows as an empty store.
LSTATUS LoadEntries(SoftStore* store, HKEY hive, HKEY certificates) {
  for (DWORD index = 0;; ++index) {
    char16_t name[256];
    DWORD nameLen = 256;
    LSTATUS rc = Plat().RegEnumKeyExW(certificates, index, name, &nameLen, nullptr, nullptr,
                                      nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_MORE_DATA) continue;  // not a thumbprint's name
    if (rc != ERROR_SUCCESS) return rc;
    Key entry;
    Bytes blob, der;
    DWORD type = 0;
    std::map<DWORD, Bytes> properties;
    rc = Plat().RegOpenKeyExW(certificates, name, 0, KEY_READ, &entry.h);
    if (rc == ERROR_SUCCESS) rc = ReadBlob(entry.h, &blob, &type);
    if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_KEY_DELETED) continue;
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_BINARY || !SoftParseEntry(blob.data(), blob.size(), &properties, &der))
      continue;
    bool present = false;
    for (const SoftCert* c : store->certs) present = present || c->der == der;
    if (present) continue;
    SoftCert* c = SoftNewCert(der.data(), der.size());
    if (c == nullptr) continue;
    c->refs = 0;
    c->properties = std::move(properties);
    c->origin = hive;
    SoftStoreAppend(store, c);
  }
  return ERROR_SUCCESS;
}

}  // namespace

bool SoftLoadSystemStore(SoftStore* store, DWORD flags) {
  const DWORD location = flags & 0x00FF0000;
  if (location == CERT_SYSTEM_STORE_CURRENT_USER) store->hive = HKEY_CURRENT_USER;
  else if (location == CERT_SYSTEM_STORE_LOCAL_MACHINE) store->hive = HKEY_LOCAL_MACHINE;
  else return SoftSetLastError(ERROR_INVALID_PARAMETER), false;
  const std::u16string path = CertificatesPath(store->name);
  Key own;
  LSTATUS rc;
  if (store->readOnly || (flags & CERT_STORE_OPEN_EXISTING_FLAG)) {
    rc = Plat().RegOpenKeyExW(store->hive, path.c_str(), 0,
                              store->readOnly ? KEY_READ : KEY_READ | KEY_WRITE, &own.h);
    // A store nobody wrote yet is empty, unless it must exist.
    if (rc == ERROR_FILE_NOT_FOUND && !(flags & CERT_STORE_OPEN_EXISTING_FLAG)) rc = ERROR_SUCCESS;
  } else {
    // Opening for writing creates the store, or fails when the hive may
    // not be written (the machine's stores for a non-administrator).
    rc = Plat().RegCreateKeyExW(store->hive, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_READ | KEY_WRITE, nullptr, &own.h, nullptr);
  }
  if (rc != ERROR_SUCCESS) return SoftSetLastError(static_cast<DWORD>(rc)), false;
  std::lock_guard<std::recursive_mutex> hold(SoftStoreLock());
  if (own.h != nullptr) rc = LoadEntries(store, store->hive, own.h);
  if (rc == ERROR_SUCCESS && store->hive == HKEY_CURRENT_USER &&
      (SameText(store->name, u"Root") || SameText(store->name, u"CA"))) {
    Key machine;
    rc = Plat().RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &machine.h);
    if (rc == ERROR_SUCCESS) rc = LoadEntries(store, HKEY_LOCAL_MACHINE, machine.h);
    else if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
  }
  if (rc != ERROR_SUCCESS) return SoftSetLastError(static_cast<DWORD>(rc)), false;
  return true;
}

DWORD SoftWriteSystemEntry(const SoftStore* store, const SoftCert& cert) {
  const HKEY hive = cert.origin != nullptr ? cert.origin : store->hive;
  const std::u16string path = CertificatesPath(store->name) + u"\\" + HexUpper(SoftCertSha1(cert));
  Key entry;
  LSTATUS rc = Plat().RegCreateKeyExW(hive, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_WRITE, nullptr, &entry.h, nullptr);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  const Bytes blob = SoftSerializeEntry(cert);
  rc = Plat().RegSetValueExW(entry.h, u"Blob", 0, REG_BINARY, blob.data(),
                             static_cast<DWORD>(blob.size()));
  return static_cast<DWORD>(rc);
}

DWORD SoftDeleteSystemEntry(const SoftStore* store, const SoftCert& cert) {
  const HKEY hive = cert.origin != nullptr ? cert.origin : store->hive;
  const std::u16string path = CertificatesPath(store->name) + u"\\" + HexUpper(SoftCertSha1(cert));
  const LSTATUS rc = Plat().RegDeleteTreeW(hive, path.c_str());
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(rc);
}
