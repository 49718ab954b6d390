// Chain documents (ChainDocs.h) installed on fresh homes, each row twice:
// roots as machine registry values, the bundle's others in "CA". Then the
// chain check after one damage per row.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "store/ChainCheck.h"
#include "store/ChainDocs.h"
#include "support/FaultPlatform.h"

namespace {

// The "Blob" value of the machine's root entry of `der`; empty when none.
Bytes RootValue(const Bytes& der) {
  HKEY key = nullptr;
  Bytes blob(8192);
  DWORD size = static_cast<DWORD>(blob.size()), type = 0;
  if (Plat().RegOpenKeyExW(HKEY_LOCAL_MACHINE, EntryPath("ROOT", &der).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return {};
  const bool read =
      Plat().RegQueryValueExW(key, u"Blob", nullptr, &type, blob.data(), &size) == ERROR_SUCCESS;
  Plat().RegCloseKey(key);
  blob.resize(read && type == REG_BINARY ? size : 0);
  return blob;
}

// The sorted thumbprints of `certs`; of a system store's certificates.
std::vector<std::string> Sorted(const std::vector<Bytes>& certs) {
  std::vector<std::string> v;
  for (const Bytes& der : certs) v.push_back(Thumbprint(der));
  std::sort(v.begin(), v.end());
  return v;
}
std::vector<std::string> Listed(DWORD location, const char16_t* name) {
  HCERTSTORE store = OpenSystemStore(location | CERT_STORE_READONLY_FLAG, name);
  std::vector<Bytes> certs = store ? StoreCerts(store) : std::vector<Bytes>{};
  if (store) Plat().CertCloseStore(store, 0);
  return Sorted(certs);
}

TEST(ChainDocument, InstallsRootsAndBundleAndItsEdgeCases) {
  const TwoHierarchies& pki = Pki();
  const Bytes &ra = pki.a.root.der, &rb = pki.b.root.der;
  const Bytes &ia = pki.a.intermediate.der, &ib = pki.b.intermediate.der;
  const char* renamed[3] = {"Path", "Name", "Blob"};
  const std::string usual = Document(pki.Roots(), pki.Bundle());
  const struct {
    const char* what;
    std::string xml;
    HRESULT hr;
    std::vector<Bytes> roots, ca;  // expected afterwards
    bool rootKey = true;           // the machine's root store key exists
  } rows[] = {
      {"the usual document", usual, S_OK, {ra, rb}, {ia, ib}},
      {"children named differently, in order",
       Document(Entry(ra, "", renamed) + Entry(rb, "", renamed), pki.Bundle()), S_OK, {ra, rb}, {ia, ib}},
      {"a fourth child ignored", Document(Entry(ra, "", nullptr, "<Extra>no Base64</Extra>"), pki.Bundle()),
       S_OK, {ra}, {ia, ib}},
      {"path and thumbprint trimmed", Document(Entry(ra, " \r\n\t"), pki.Bundle()), S_OK, {ra}, {ia, ib}},
      {"a comment among the entries", Document(Entry(ra) + "<!-- note -->" + Entry(rb), pki.Bundle()),
       KL_E_XML_PARSE, {ra}, {}},
      {"an entry of two children",
       Document("<Certificate><ImportPath>x</ImportPath><EntryPoint>y</EntryPoint></Certificate>",
                pki.Bundle()), KL_E_XML_PARSE, {}, {}},
      {"empty RootCACertificate", Document("", pki.Bundle()), S_OK, {}, {ia, ib}},
      {"a bundle of self-issued certificates", Document(pki.Roots(), {ra, rb}), S_OK, {ra, rb}, {}},
      {"no P7bContent", Document(pki.Roots(), {}, false), KL_E_XML_PARSE, {ra, rb}, {}},
      {"a document that does not parse", usual.substr(0, usual.size() / 2), KL_E_XML_PARSE, {}, {}},
      {"no root store key", usual, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), {}, {}, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ScopedSoftHomes homes;
    if (row.rootKey) CreateRootKey();
    for (int pass = 0; pass < 2; ++pass) {  // a second installation changes nothing
      const HRESULT hr = RunOn(ImportCertificateChainfromBlobData, row.xml);
      EXPECT_EQ(row.hr, hr) << std::hex << hr;
      // Each entry's value holds the serialized entry unchanged.
      for (const Bytes& root : {ra, rb}) {
        const bool expected = std::find(row.roots.begin(), row.roots.end(), root) != row.roots.end();
        EXPECT_EQ(expected ? SerializedEntry(root) : Bytes{}, RootValue(root));
      }
      // The user's view of "Root" lists the roots written as registry
      // values; "CA" holds one copy of each certificate added.
      EXPECT_EQ(Sorted(row.roots), Listed(CERT_SYSTEM_STORE_CURRENT_USER, u"Root"));
      EXPECT_EQ(Sorted(row.ca), Listed(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA"));
    }
  }
}

BOOL NoSha256(OSVERSIONINFOEXW*, DWORD, ULONGLONG) { return FALSE; }

TEST(ChainCheck, ResultOfEachDamage) {
  const TwoHierarchies& pki = Pki();
  const std::string usual = Document(pki.Roots(), pki.Bundle());
  const Bytes tampered = TamperSignature(pki.a.intermediate.der);
  const struct {
    const char* what;
    const char* store;  // whose machine entry of `removed` is deleted
    const Bytes* removed;
    std::string document;  // checked
    bool sha256;           // the platform verifies SHA-256 signatures
    std::set<HRESULT> results;
  } rows[] = {
      {"installed", "", nullptr, usual, true, {S_OK}},
      {"a root's registry entry removed", "ROOT", &pki.b.root.der, usual, true, {KL_E_CHAIN_NOT_INTEGRATED}},
      {"an intermediate removed from CA", "CA", &pki.b.intermediate.der, usual, true,
       {KL_E_CHAIN_NOT_INTEGRATED, CRYPT_E_NOT_FOUND}},
      {"a bad signature", "", nullptr, Document("", {pki.a.root.der, tampered}), true, {KL_E_CHAIN_BAD_SIGNATURE}},
      {"no P7bContent", "", nullptr, Document(pki.Roots(), {}, false), true, {KL_E_XML_PARSE}},
      {"a document that does not parse", "", nullptr, usual.substr(0, 200), true, {KL_E_XML_PARSE}},
      {"a bundle without certificates", "", nullptr, Document("", {}), true, {S_OK}},
      // Without SHA-256 the SHA-256-signed hierarchy A is not looked at.
      {"no SHA-256: A's intermediate missing", "CA", &pki.a.intermediate.der, usual, false, {S_OK}},
      {"no SHA-256: B's intermediate missing", "CA", &pki.b.intermediate.der, usual, false, {CRYPT_E_NOT_FOUND}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ScopedSoftHomes homes;  // with the usual document installed
    CreateRootKey();
    EXPECT_EQ(S_OK, RunOn(ImportCertificateChainfromBlobData, usual));
    if (row.removed) {
      ASSERT_EQ(ERROR_SUCCESS,
                Plat().RegDeleteTreeW(HKEY_LOCAL_MACHINE, EntryPath(row.store, row.removed).c_str()));
    }
    FaultPlatform platform;
    if (!row.sha256) platform.table.VerifyVersionInfoW = &NoSha256;
    const HRESULT hr = RunOn(CheckCertChainfromBlobData, row.document);
    EXPECT_EQ(1u, row.results.count(hr)) << std::hex << hr;
    // Read-only: no registry value is written or removed.
    EXPECT_EQ(0u, platform.CountOf("RegSetValueExW") + platform.CountOf("RegDeleteTreeW"));
  }
}

}  // namespace
