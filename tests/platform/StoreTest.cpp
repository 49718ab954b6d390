// Certificate stores through the platform table: PKCS#7 bundles, the
// registry-backed system stores, properties. (The machine's "Root" and "CA"
// seen from the user's: the chain tests and the chain documents' own.)
#include <gtest/gtest.h>

#include <initializer_list>

#include "base/Status.h"
#include "store/ChainDocs.h"
#include "support/StoreHelpers.h"
#include "support/ChildProcess.h"

namespace {

using StoreTest = SoftHomesTest;

// Writes `blob` as the "Blob" value of the machine's root entry `name`.
void WriteRootEntry(const std::string& name, const Bytes& blob) {
  const std::u16string path = EntryPath("ROOT") + u"\\" + std::u16string(name.begin(), name.end());
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Plat().RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                  nullptr, &key, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, Plat().RegSetValueExW(key, u"Blob", 0, REG_BINARY, blob.data(),
                                                 static_cast<DWORD>(blob.size())));
  Plat().RegCloseKey(key);
}

// A bundle store keeps the bundle's order and takes no additions.
TEST_F(StoreTest, BundleStore) {
  const Hierarchy& h = Pki().a;
  const std::vector<Bytes> certs = {h.leaf.der, h.root.der, h.intermediate.der};
  HCERTSTORE store = OpenBundle(MakeBundle(certs));
  ASSERT_NE(nullptr, store);
  EXPECT_EQ(certs, StoreCerts(store));
  EXPECT_EQ(E_ACCESSDENIED, AddEncoded(store, h.root.der, CERT_STORE_ADD_ALWAYS));
  Plat().CertCloseStore(store, 0);
}

TEST_F(StoreTest, BytesThatAreNoBundleFail) {
  const Bytes cases[] = {
      {0x30, 0x03, 0x02, 0x01, 0x01},  // SEQUENCE { INTEGER 1 }
      {0x04, 0x00},                    // an empty OCTET STRING
      Pki().a.root.der,  // a certificate, not a bundle
  };
  for (const Bytes& bytes : cases) {
    EXPECT_EQ(nullptr, OpenBundle(bytes));
    EXPECT_LT(static_cast<HRESULT>(Plat().GetLastError()), 0);
  }
}

TEST_F(StoreTest, AddFindReplaceAndEnumerateInOrder) {
  HCERTSTORE my = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"My");
  ASSERT_NE(nullptr, my);
  const Hierarchy& h = Pki().a;
  EXPECT_EQ(S_OK, AddEncoded(my, h.leaf.der, CERT_STORE_ADD_NEW));
  EXPECT_EQ(S_OK, AddEncoded(my, h.intermediate.der, CERT_STORE_ADD_NEW));
  EXPECT_EQ(CRYPT_E_EXISTS, AddEncoded(my, h.leaf.der, CERT_STORE_ADD_NEW));
  EXPECT_EQ(S_OK, AddEncoded(my, h.leaf.der, CERT_STORE_ADD_REPLACE_EXISTING));
  EXPECT_EQ(2u, StoreCerts(my).size());
  PCCERT_CONTEXT found = FindExisting(my, h.intermediate.der);
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(h.intermediate.der, DerOf(found));
  Plat().CertFreeCertificateContext(found);
  EXPECT_EQ(nullptr, FindExisting(my, h.root.der));
  EXPECT_EQ(CRYPT_E_NOT_FOUND, static_cast<HRESULT>(Plat().GetLastError()));
  Plat().CertCloseStore(my, 0);

  // "MY" is the same store, read back from the registry.
  HCERTSTORE again = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"MY");
  ASSERT_NE(nullptr, again);
  const std::vector<Bytes> got = StoreCerts(again);
  ASSERT_EQ(2u, got.size());
  EXPECT_NE(got[0], got[1]);
  for (const Bytes& d : got) EXPECT_TRUE(d == h.leaf.der || d == h.intermediate.der);
  Plat().CertCloseStore(again, 0);

  // A store nobody made yet: empty, or missing when it must exist.
  HCERTSTORE fresh = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                                     u"KeyloomNoSuchStore");
  ASSERT_NE(nullptr, fresh);
  EXPECT_TRUE(StoreCerts(fresh).empty());
  Plat().CertCloseStore(fresh, 0);
  EXPECT_EQ(nullptr, OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG,
                                     u"KeyloomNoSuchStore"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), Plat().GetLastError());
  // A store name is one name, not a path.
  for (const char16_t* name : {u"", u"My\\..\\Root", u"..\\Root"})
    EXPECT_EQ(nullptr, OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, name)) << Narrow(name);
}

TEST_F(StoreTest, KeyProviderPropertyPersistsAcrossProcesses) {
  const Bytes leaf = Pki().a.leaf.der;
  ASSERT_EQ(0, WaitExit(Spawn([&] {  // another process links the certificate
    return AddToMy(leaf, u"{5E8E4C0B-0000-4000-8000-000000000001}", kEnhanced, AT_SIGNATURE) ? 0 : 1;
  })));

  HCERTSTORE my = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"My");
  ASSERT_NE(nullptr, my);
  PCCERT_CONTEXT cert = FindExisting(my, leaf);
  ASSERT_NE(nullptr, cert);
  DWORD size = 0;
  ASSERT_TRUE(Plat().CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
  Bytes buffer(size);
  DWORD small = size - 1;
  EXPECT_FALSE(Plat().CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &small));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), Plat().GetLastError());
  ASSERT_TRUE(Plat().CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  EXPECT_EQ("Microsoft Enhanced Cryptographic Provider v1.0", Narrow(info->pwszProvName));
  EXPECT_EQ("{5E8E4C0B-0000-4000-8000-000000000001}", Narrow(info->pwszContainerName));
  EXPECT_EQ(1u, info->dwProvType);
  EXPECT_EQ(static_cast<DWORD>(AT_SIGNATURE), info->dwKeySpec);

  // A certificate without the property answers CRYPT_E_NOT_FOUND.
  ASSERT_EQ(S_OK, AddEncoded(my, Pki().a.intermediate.der, CERT_STORE_ADD_NEW));
  PCCERT_CONTEXT other = FindExisting(my, Pki().a.intermediate.der);
  ASSERT_NE(nullptr, other);
  EXPECT_FALSE(Plat().CertGetCertificateContextProperty(other, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
  EXPECT_EQ(CRYPT_E_NOT_FOUND, static_cast<HRESULT>(Plat().GetLastError()));
  Plat().CertFreeCertificateContext(other);
  Plat().CertFreeCertificateContext(cert);
  Plat().CertCloseStore(my, 0);
}

TEST_F(StoreTest, RegistryWrittenEntryIsACertificateAndBadEntriesAreSkipped) {
  // The entry as registration writes it (SerializedEntry: its records),
  // then entries whose last record is no certificate: skipped, not fatal.
  const Bytes& root = Pki().a.root.der;
  const Bytes good = SerializedEntry(root);
  WriteRootEntry(Thumbprint(root), good);
  WriteRootEntry("00", Bytes(good.begin(), good.end() - 10));
  WriteRootEntry("01", SerializedEntry(Bytes{0x30, 0x00}));

  HCERTSTORE user = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"Root");
  ASSERT_NE(nullptr, user);
  const std::vector<Bytes> got = StoreCerts(user);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(root, got[0]);
  Plat().CertCloseStore(user, 0);
}

}  // namespace
