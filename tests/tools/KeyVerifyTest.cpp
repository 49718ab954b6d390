// `keyloom key verify`: whole key pairs pass, a bound certificate of
// another key fails, and (in process, the exported public key replaced by
// another key's) a public half that is not the private key's is found by
// the signature and by the encryption round trip.
#include <gtest/gtest.h>

#include "keyloom/KeyVerify.h"
#include "support/CryptTestSupport.h"
#include "support/FaultPlatform.h"
#include "support/StoreHelpers.h"
#include "support/TestSupport.h"

namespace {

using KeyVerifyTest = SoftHomesTest;

// A new container of `provider` with an exchange and a signature key.
struct TwoKeys {
  std::u16string name;
  Prov prov;
  Key exchange, signature;
  TwoKeys(const char16_t* provider) : name(UniqueContainer("verify")) {
    EXPECT_TRUE(prov.Acquire(name.c_str(), provider, CRYPT_NEWKEYSET) &&
                Plat().CryptGenKey(prov.h, AT_KEYEXCHANGE, 1024 << 16, &exchange.h) &&
                Plat().CryptGenKey(prov.h, AT_SIGNATURE, 1024 << 16, &signature.h));
  }
};

// Tokens refuse to store the certificate of another key, so a wrong
// certificate is linked from "My".
enum class Bound { kOwnLinkedInMy, kOwnStored, kOtherLinkedInMy };

void Bind(TwoKeys& c, const char16_t* provider, bool sm2, Bound bound) {
  const Bytes blob = ExportKey(c.exchange.h, PUBLICKEYBLOB);
  Pkey key = bound == Bound::kOtherLinkedInMy ? Pkey(sm2 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2") : EVP_RSA_gen(1024))
             : sm2                            ? Sm2FromPublicBlob(blob)
                                              : RsaFromPublicBlob(blob);
  const Bytes der = CertOfKey(key.get());
  if (bound == Bound::kOwnStored) {
    ASSERT_TRUE(Plat().CryptSetKeyParam(c.exchange.h, KP_CERTIFICATE, der.data(), 0));
    return;
  }
  HCERTSTORE my = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"My");
  ASSERT_EQ(S_OK, AddEncoded(my, der, CERT_STORE_ADD_NEW));
  PCCERT_CONTEXT cert = FindExisting(my, der);
  CRYPT_KEY_PROV_INFO link{c.name.data(), const_cast<char16_t*>(provider), PROV_RSA_FULL, 0, 0, nullptr, AT_KEYEXCHANGE};
  EXPECT_TRUE(Plat().CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &link));
  Plat().CertFreeCertificateContext(cert);
  Plat().CertCloseStore(my, 0);
}

TEST_F(KeyVerifyTest, ToolReportsEachKeyAndTheBoundCertificate) {
  const struct {
    const char16_t* provider;
    bool sm2;
    Bound bound;
    const char* exchangeCertificate;  // the exchange key's certificateMatches
    int exit;
  } kRows[] = {
      {kEnhanced, false, Bound::kOwnLinkedInMy, "true", 0},
      {kSm2Token, true, Bound::kOwnStored, "true", 0},
      {kEnhanced, false, Bound::kOtherLinkedInMy, "false", 1},
      {kRsaToken, false, Bound::kOtherLinkedInMy, "false", 1},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(Narrow(row.provider));
    TwoKeys c(row.provider);
    Bind(c, row.provider, row.sm2, row.bound);
    std::string out;
    EXPECT_EQ(row.exit, RunCommand(std::string(KEYLOOM_CLI_PATH " key verify --provider '") + Narrow(row.provider) +
                                       "' --container " + Narrow(c.name.c_str()), &out));
    EXPECT_EQ(std::string("{\"spec\":\"exchange\",\"publicKeyMatchesPrivate\":true,\"certificateMatches\":") +
                  row.exchangeCertificate +
                  "}\n{\"spec\":\"signature\",\"publicKeyMatchesPrivate\":true,\"certificateMatches\":null}\n",
              out);
  }
}

// The replacements answer the other container's keys.
const Platform* gForward;
HCRYPTPROV gOtherProv;
HCRYPTKEY gOtherExchange;
BOOL OtherKeyInfo(HCRYPTPROV, DWORD spec, DWORD encoding, CERT_PUBLIC_KEY_INFO* info, DWORD* length) {
  return gForward->CryptExportPublicKeyInfo(gOtherProv, spec, encoding, info, length);
}
BOOL OtherKeyBlob(HCRYPTKEY, HCRYPTKEY wrap, DWORD type, DWORD flags, BYTE* data, DWORD* length) {
  return gForward->CryptExportKey(gOtherExchange, wrap, type, flags, data, length);
}

TEST_F(KeyVerifyTest, PublicHalfOfAnotherKeyIsFound) {
  const struct {
    const char16_t* provider;
    bool replaceInfo;  // CryptExportPublicKeyInfo, else CryptExportKey
    bool exchangeHolds, signatureHolds;
  } kRows[] = {
      {kEnhanced, true, false, false},
      {kEnhanced, false, false, true},  // RSA: only the encryption round trip reads the blob
      {kSm2Token, false, false, false},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(testing::Message() << Narrow(row.provider) << (row.replaceInfo ? " info" : " blob"));
    TwoKeys mine(row.provider), other(row.provider);
    FaultPlatform platform;
    const Platform original = platform.table;
    gForward = &original, gOtherProv = other.prov.h, gOtherExchange = other.exchange.h;
    if (row.replaceInfo) platform.table.CryptExportPublicKeyInfo = &OtherKeyInfo;
    else platform.table.CryptExportKey = &OtherKeyBlob;
    std::vector<KeyCheck> checks;
    ASSERT_EQ(S_OK, CheckContainerKeys(row.provider, PROV_RSA_FULL, mine.name, &checks));
    ASSERT_EQ(2u, checks.size());
    EXPECT_EQ(row.exchangeHolds, checks[0].publicKeyMatchesPrivate);
    EXPECT_EQ(row.signatureHolds, checks[1].publicKeyMatchesPrivate);
    for (const KeyCheck& check : checks)
      EXPECT_TRUE(check.status == S_OK && !check.certificateMatches);  // a mismatch is a result
  }
}

}  // namespace
