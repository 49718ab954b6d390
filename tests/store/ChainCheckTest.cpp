// The chain check over an installed document, after the installation is
// damaged in one way per row (the method over the module's own documents,
// its flag and described status: RegisteredMachine.CarriedChainIsCheckedAsInstalled;
// its COM initialisations balanced: the fault sweep).
#include <gtest/gtest.h>

#include <set>

#include "store/ChainCheck.h"
#include "store/ChainDocs.h"
#include "support/FaultPlatform.h"

namespace {

HRESULT Check(const std::string& xml) { return RunOn(CheckCertChainfromBlobData, xml); }

// Removes the machine's registry entry of `der` from `store`.
void Remove(const char* store, const Bytes& der) {
  ASSERT_EQ(ERROR_SUCCESS, Plat().RegDeleteTreeW(HKEY_LOCAL_MACHINE, EntryPath(store, &der).c_str()));
}

BOOL NoSha256(OSVERSIONINFOEXW*, DWORD, ULONGLONG) { return FALSE; }

// A fresh installation of the usual document of Pki().
struct Installed {
  ScopedSoftHomes homes;
  Installed() {
    CreateRootKey();
    EXPECT_EQ(S_OK, RunOn(ImportCertificateChainfromBlobData, Document(Pki().Roots(), Pki().Bundle())));
  }
};

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
    Installed installed;
    if (row.removed) Remove(row.store, *row.removed);
    FaultPlatform platform;
    if (!row.sha256) platform.table.VerifyVersionInfoW = &NoSha256;
    const HRESULT hr = Check(row.document);
    EXPECT_EQ(1u, row.results.count(hr)) << std::hex << hr;
    // Read-only: no registry value is written or removed.
    EXPECT_EQ(0u, platform.CountOf("RegSetValueExW") + platform.CountOf("RegDeleteTreeW"));
  }
}

}  // namespace
