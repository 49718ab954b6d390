// RSA keys whose length is a multiple of 8 but not of 16 (halves of an odd
// number of octets) survive storage and export: the key read back from the
// home and the key imported from its PRIVATEKEYBLOB both sign, and OpenSSL
// verifies the signatures with the public key exported at generation.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "base/Platform.h"
#include "support/CryptTestSupport.h"

namespace {

TEST(SoftKeyLength, OddHalfLengthsStoreExportAndImport) {
  ScopedSoftHomes homes;
  const struct { const char16_t* provider; DWORD bits; } kRows[] = {
      {kRsaToken, 1032}, {kRsaToken, 2040}, {kEnhanced, 1032}, {kEnhanced, 1048}, {kEnhanced, 2040}, {kEnhanced, 2056}};
  const Bytes data = {'k', 'e', 'y', 'l', 'o', 'o', 'm'};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.bits);
    const std::u16string name = u"odd" + std::u16string(1, char16_t(u'a' + (&row - kRows)));
    Bytes pub, priv;
    {  // generated and exported, then every handle of it closed
      Prov prov;
      Key key;
      ASSERT_TRUE(prov.Acquire(name.c_str(), row.provider, CRYPT_NEWKEYSET));
      ASSERT_TRUE(Plat().CryptGenKey(prov.h, AT_SIGNATURE, row.bits << 16 | CRYPT_EXPORTABLE, &key.h));
      pub = ExportKey(key.h, PUBLICKEYBLOB), priv = ExportKey(key.h, PRIVATEKEYBLOB);
    }
    ASSERT_EQ(20 + row.bits / 8, pub.size());
    const Pkey openSslKey = RsaFromPublicBlob(pub);  // the key as exported at generation
    EXPECT_EQ(row.provider == kRsaToken, priv.empty());  // a token's key never leaves it

    // The key as the home gives it back, then the key imported from its
    // private blob.
    for (const bool import : {false, true}) {
      if (import && priv.empty()) continue;
      Prov reopened;
      Key imported;
      ASSERT_TRUE(reopened.Acquire(name.c_str(), row.provider, 0));
      ASSERT_TRUE(!import || Plat().CryptImportKey(reopened.h, priv.data(), static_cast<DWORD>(priv.size()),
                                                   0, 0, &imported.h));
      EXPECT_TRUE(VerifyRsa(openSslKey.get(), EVP_sha1(), data,
                            SignData(reopened.h, CALG_SHA1, data, AT_SIGNATURE)))
          << (import ? "imported" : "stored");
    }
  }
}

}  // namespace
