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

// A certificate of the exchange key, or of a fresh key of its kind, bound
// to the exchange key: stored with it or linked from "My" (tokens refuse
// to store another key's certificate).
enum class Bound { kOwnLinkedInMy, kOwnStored, kOtherLinkedInMy };
void Bind(TwoKeys& c, const char16_t* provider, bool sm2, Bound bound) {
  const Bytes blob = ExportKey(c.exchange.h, PUBLICKEYBLOB);
  Pkey key = bound == Bound::kOtherLinkedInMy ? Pkey(sm2 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2") : EVP_RSA_gen(1024))
             : sm2                            ? Sm2FromPublicBlob(blob)
                                              : RsaFromPublicBlob(blob);
  const Bytes der = CertOfKey(key.get());
  if (bound == Bound::kOwnStored) ASSERT_TRUE(Plat().CryptSetKeyParam(c.exchange.h, KP_CERTIFICATE, der.data(), 0));
  else ASSERT_TRUE(AddToMy(der, c.name, provider));
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
struct { const Platform* forward; HCRYPTPROV prov; HCRYPTKEY exchange; } gOther;
BOOL OtherKeyInfo(HCRYPTPROV, DWORD spec, DWORD encoding, CERT_PUBLIC_KEY_INFO* info, DWORD* length) {
  return gOther.forward->CryptExportPublicKeyInfo(gOther.prov, spec, encoding, info, length);
}
BOOL OtherKeyBlob(HCRYPTKEY, HCRYPTKEY wrap, DWORD type, DWORD flags, BYTE* data, DWORD* length) {
  return gOther.forward->CryptExportKey(gOther.exchange, wrap, type, flags, data, length);
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
    gOther = {&original, other.prov.h, other.exchange.h};
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
