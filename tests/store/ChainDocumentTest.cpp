// Installation of chain documents on fresh homes: the root entries as
// machine registry values, the bundle's other certificates in the
// machine's "CA", and the document's edge cases, each installed twice.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/Status.h"
#include "encoding/Buffer.h"
#include "store/ChainDocument.h"
#include "store/ChainDocs.h"

namespace {

HRESULT Install(const std::string& xml) {
  Plat().CoInitialize(nullptr);
  const HRESULT hr =
      ImportCertificateChainfromBlobData(reinterpret_cast<const BYTE*>(xml.data()),
                                         static_cast<DWORD>(xml.size()));
  Plat().CoUninitialize();
  return hr;
}

// The "Blob" value of the machine's root entry of `der`; empty when none.
Bytes RootValue(const Bytes& der) {
  const std::string path = std::string(kRootPath) + "\\" + Thumbprint(der);
  const std::u16string wide(path.begin(), path.end());
  HKEY key = nullptr;
  Bytes blob(8192);
  DWORD size = static_cast<DWORD>(blob.size()), type = 0;
  if (Plat().RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return {};
  const bool read =
      Plat().RegQueryValueExW(key, u"Blob", nullptr, &type, blob.data(), &size) == ERROR_SUCCESS;
  Plat().RegCloseKey(key);
  blob.resize(read && type == REG_BINARY ? size : 0);
  return blob;
}

// The number of entries (sub-keys) of the machine's root store key.
DWORD RootEntryCount() {
  const std::u16string path(kRootPath, kRootPath + sizeof kRootPath - 1);
  HKEY key = nullptr;
  DWORD n = 0;
  if (Plat().RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return 0;
  char16_t name[64];
  DWORD length = 64;
  while (Plat().RegEnumKeyExW(key, n, name, &length, nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS)
    ++n, length = 64;
  Plat().RegCloseKey(key);
  return n;
}

// The thumbprints of `certs`, sorted.
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
  std::string broken = Document(pki.Roots(), pki.Bundle());
  broken.resize(broken.size() / 2);
  const struct {
    const char* what;
    std::string xml;
    HRESULT hr;
    std::vector<Bytes> roots, ca;  // expected afterwards
  } rows[] = {
      {"the usual document", Document(pki.Roots(), pki.Bundle()), S_OK, {ra, rb}, {ia, ib}},
      {"children named differently, in order",
       Document(Entry(ra, "", renamed) + Entry(rb, "", renamed), pki.Bundle()), S_OK, {ra, rb}, {ia, ib}},
      {"a fourth child ignored", Document(Entry(ra, "", nullptr, "<Extra>no Base64</Extra>"), pki.Bundle()),
       S_OK, {ra}, {ia, ib}},
      {"path and thumbprint trimmed", Document(Entry(ra, " \r\n\t"), pki.Bundle()), S_OK, {ra}, {ia, ib}},
      {"a comment among the entries", Document(Entry(ra) + "<!-- note -->" + Entry(rb), pki.Bundle()),
       KL_E_XML_PARSE, {ra}, {}},
      {"an entry of two children",
       Document("<Certificate><ImportPath>x</ImportPath><EntryPoint>y</EntryPoint></Certificate>",
                pki.Bundle()),
       KL_E_XML_PARSE, {}, {}},
      {"empty RootCACertificate", Document("", pki.Bundle()), S_OK, {}, {ia, ib}},
      {"a bundle of self-issued certificates", Document(pki.Roots(), {ra, rb}), S_OK, {ra, rb}, {}},
      {"no P7bContent", Document(pki.Roots(), {}, false), KL_E_XML_PARSE, {ra, rb}, {}},
      {"a document that does not parse", broken, KL_E_XML_PARSE, {}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ScopedSoftHomes homes;
    CreateRootKey();
    for (int pass = 0; pass < 2; ++pass) {  // a second installation changes nothing
      EXPECT_EQ(row.hr, Install(row.xml)) << std::hex << Install(row.xml);
      // Each entry's value holds the serialized entry unchanged, once.
      for (const Bytes& root : {ra, rb}) {
        const bool expected = std::find(row.roots.begin(), row.roots.end(), root) != row.roots.end();
        EXPECT_EQ(expected ? SerializedEntry(root) : Bytes{}, RootValue(root));
      }
      EXPECT_EQ(row.roots.size(), RootEntryCount());
      // The user's view of "Root" lists the roots written as registry values.
      EXPECT_EQ(Sorted(row.roots), Listed(CERT_SYSTEM_STORE_CURRENT_USER, u"Root"));
      EXPECT_EQ(Sorted(row.ca), Listed(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA"));
    }
  }
}

TEST(ChainDocument, WithoutTheRootKeyNothingIsInstalled) {
  const TwoHierarchies& pki = Pki();
  ScopedSoftHomes homes;
  // Without the machine's root store key nothing is created.
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), Install(Document(pki.Roots(), pki.Bundle())));
  EXPECT_TRUE(RootValue(pki.a.root.der).empty());
  EXPECT_TRUE(Listed(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA").empty());
}

TEST(ChainDocument, LoadModuleResourceCopiesOrReportsTheLastError) {
  BYTE* data = nullptr;
  DWORD size = 0;
  ASSERT_EQ(S_OK, LoadModuleResource(nullptr, u"KEYLOOM_PROBE", 1, &data, &size));
  const std::string file = ReadFile(KEYLOOM_SOURCE_DIR "/resources/probe/probe.bin");
  EXPECT_EQ(file, std::string(reinterpret_cast<char*>(data), size));
  FreeBuffer(data);
  data = nullptr;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND),
            LoadModuleResource(nullptr, u"KEYLOOM_PROBE", 2, &data, &size));
  EXPECT_EQ(nullptr, data);
}

}  // namespace
