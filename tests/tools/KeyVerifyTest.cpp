// `keyloom key verify`: whole key pairs hold, a bound certificate of another
// key fails, and a public half that is not the private key's is found.
#include <gtest/gtest.h>

#include "keyloom/KeyVerify.h"
#include "support/CryptTestSupport.h"
#include "support/FaultPlatform.h"
#include "support/StoreHelpers.h"

namespace {

using KeyVerifyTest = SoftHomesTest;

// A new container of `provider` with an exchange and a signature key.
struct TwoKeys {
  std::u16string name = UniqueContainer("verify");
  Prov prov;
  Key exchange, signature;
  explicit TwoKeys(const char16_t* provider) {
    EXPECT_TRUE(prov.Acquire(name.c_str(), provider, CRYPT_NEWKEYSET) &&
                Plat().CryptGenKey(prov.h, AT_KEYEXCHANGE, 1024 << 16, &exchange.h) &&
                Plat().CryptGenKey(prov.h, AT_SIGNATURE, 1024 << 16, &signature.h));
  }
};

// The replacements answer the other container's keys.
struct { const Platform* forward; HCRYPTPROV prov; HCRYPTKEY exchange; } gOther;
BOOL OtherKeyInfo(HCRYPTPROV, DWORD spec, DWORD encoding, CERT_PUBLIC_KEY_INFO* info, DWORD* length) {
  return gOther.forward->CryptExportPublicKeyInfo(gOther.prov, spec, encoding, info, length);
}
BOOL OtherKeyBlob(HCRYPTKEY, HCRYPTKEY wrap, DWORD type, DWORD flags, BYTE* data, DWORD* length) {
  return gOther.forward->CryptExportKey(gOther.exchange, wrap, type, flags, data, length);
}

TEST_F(KeyVerifyTest, EachKeyPairAndTheBoundCertificateAreChecked) {
  // The exchange key's certificate is of its own key or of a fresh RSA key,
  // stored with it or linked from "My" (tokens refuse another key's); or an
  // export answers the other container's key instead.
  enum Case { kOwnInMy, kOwnStored, kOtherInMy, kOtherInfo, kOtherBlob };
  const struct { const char16_t* provider; Case c; bool exchangeHolds; const char* certificate;
                 bool signatureHolds; int exit; } kRows[] = {
      {kEnhanced, kOwnInMy, true, "true", true, 0},   {kSm2Token, kOwnStored, true, "true", true, 0},
      {kEnhanced, kOtherInMy, true, "false", true, 1}, {kRsaToken, kOtherInMy, true, "false", true, 1},
      {kEnhanced, kOtherInfo, false, "null", false, 1},
      {kEnhanced, kOtherBlob, false, "null", true, 1},  // RSA: only the encryption round trip reads the blob
      {kSm2Token, kOtherBlob, false, "null", false, 1},  // SM2: the public point comes from the blob
  };
  const auto line = [](const char* spec, bool holds, const char* certificate) {
    return std::string("{\"spec\":\"") + spec + "\",\"publicKeyMatchesPrivate\":" + (holds ? "true" : "false") +
           ",\"certificateMatches\":" + certificate + "}\n";
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(testing::Message() << Narrow(row.provider) << ", case " << row.c);
    TwoKeys mine(row.provider), other(row.provider);
    const Bytes blob = ExportKey(mine.exchange.h, PUBLICKEYBLOB);
    const Pkey key = row.c == kOtherInMy ? Pkey(EVP_RSA_gen(1024))
                     : row.provider == kSm2Token ? Sm2FromPublicBlob(blob) : RsaFromPublicBlob(blob);
    const Bytes der = CertOfKey(key.get());
    ASSERT_TRUE(row.c == kOwnStored ? Plat().CryptSetKeyParam(mine.exchange.h, KP_CERTIFICATE, der.data(), 0)
                                    : row.c > kOtherInMy || AddToMy(der, mine.name, row.provider));
    FaultPlatform platform;
    const Platform original = platform.table;
    gOther = {&original, other.prov.h, other.exchange.h};
    if (row.c == kOtherInfo) platform.table.CryptExportPublicKeyInfo = &OtherKeyInfo;
    if (row.c == kOtherBlob) platform.table.CryptExportKey = &OtherKeyBlob;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();  // a mismatch is a result, not a failure
    EXPECT_EQ(row.exit, RunKeyVerify(row.provider, PROV_RSA_FULL, mine.name));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ(line("exchange", row.exchangeHolds, row.certificate) + line("signature", row.signatureHolds, "null"),
              testing::internal::GetCapturedStdout());
  }
}

}  // namespace
