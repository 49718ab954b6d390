// The machine's certificate stores when the machine home may not be
// written (a user without administrative rights).
#include <gtest/gtest.h>

#include "support/StoreHelpers.h"
#include "base/Status.h"
#include "support/ChildProcess.h"

namespace {

TEST(SoftStoreAccess, MachineStoresWithoutWriteAccess) {
  ScopedSoftHomes homes;
  ScopedUnwritableMachineHome machine(homes);
  ASSERT_TRUE(machine.ok());
  const PkiCert root = MakeCert(PkiAlg::kRsaSha256, {{{"CN", "Access Root"}}, 1}, nullptr);

  // Opening for writing is refused; read-only opens an empty store that
  // takes no additions.
  EXPECT_EQ(nullptr, OpenSystemStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Plat().GetLastError());
  HCERTSTORE ca = OpenSystemStore(CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, u"CA");
  ASSERT_NE(nullptr, ca);
  EXPECT_TRUE(StoreCerts(ca).empty());
  EXPECT_EQ(E_ACCESSDENIED, AddEncoded(ca, root.der, CERT_STORE_ADD_NEW));
  Plat().CertCloseStore(ca, 0);

  // The user's stores work, and the user's "Root" view still opens.
  HCERTSTORE userRoot = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"Root");
  ASSERT_NE(nullptr, userRoot);
  EXPECT_EQ(S_OK, AddEncoded(userRoot, root.der, CERT_STORE_ADD_NEW));
  EXPECT_EQ(1u, StoreCerts(userRoot).size());
  Plat().CertCloseStore(userRoot, 0);
}

}  // namespace
