// Signatures made through the platform table, verified by OpenSSL, and the
// certificates tokens keep with their keys.
#include <gtest/gtest.h>

#include "support/CryptTestSupport.h"
#include "support/TestSupport.h"

namespace {

const Bytes kMessage = {'c', 'e', 'r', 't', 'i', 'f', 'i', 'c', 'a', 't', 'i', 'o', 'n', ' ',
                        'r', 'e', 'q', 'u', 'e', 's', 't'};

using SignatureTest = SoftHomesTest;

// PKCS#1 v1.5 signatures come little-endian; reversed, OpenSSL accepts
// them for the digest of the message.
TEST_F(SignatureTest, RsaSignaturesVerifyWithOpenSsl) {
  struct Case { const char16_t* provider; ALG_ID hash; const EVP_MD* md; DWORD spec; } cases[] = {
      {kEnhanced, CALG_SHA1, EVP_sha1(), AT_SIGNATURE},
      {kEnhanced, CALG_MD5, EVP_md5(), AT_KEYEXCHANGE},
      {kRsaToken, CALG_SHA1, EVP_sha1(), AT_SIGNATURE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.provider) + " " + EVP_MD_get0_name(c.md));
    Prov prov;
    Key key;
    ASSERT_TRUE(NewContainerKey(&prov, &key, "sign", c.provider, c.spec, 1024 << 16));
    Pkey pub = RsaFromPublicBlob(ExportKey(key.h, PUBLICKEYBLOB));
    ASSERT_TRUE(pub);
    const Bytes signature = SignData(prov.h, c.hash, kMessage, c.spec);
    ASSERT_EQ(128u, signature.size());
    EXPECT_TRUE(VerifyRsa(pub.get(), c.md, kMessage, signature));
    EXPECT_FALSE(VerifyRsa(pub.get(), c.md, kMessage, Reversed(signature)));  // byte order matters
  }
}

TEST_F(SignatureTest, Sm2SignaturesVerifyWithTheDefaultIdentifier) {
  Prov prov;
  Key key;
  ASSERT_TRUE(NewContainerKey(&prov, &key, "sm2sign", kSm2Token, KL_CALG_SM2_SIGN, 256 << 16));
  EXPECT_EQ(static_cast<DWORD>(KL_CALG_SM2_SIGN), KeyParam(key.h, KP_ALGID));
  const Bytes blob = ExportKey(key.h, PUBLICKEYBLOB);
  ASSERT_EQ(140u, blob.size());
  // 06 02 00 00, algorithm 0x3E00: the header of a PUBLICKEYBLOB.
  EXPECT_EQ((Bytes{0x06, 0x02, 0x00, 0x00, 0x00, 0x3E, 0x00, 0x00}), Bytes(blob.begin(), blob.begin() + 8));
  // The upper 32 octets of each 64-octet field are unused.
  EXPECT_EQ(Bytes(32, 0), Bytes(blob.begin() + 44, blob.begin() + 76));
  EXPECT_EQ(Bytes(32, 0), Bytes(blob.begin() + 108, blob.end()));
  Pkey pub = Sm2FromPublicBlob(blob);
  ASSERT_TRUE(pub);

  const Bytes signature = SignData(prov.h, CALG_SM3, kMessage, AT_SIGNATURE);
  ASSERT_EQ(64u, signature.size());
  EXPECT_TRUE(VerifySm2(pub.get(), kMessage, signature, "1234567812345678"));
  EXPECT_FALSE(VerifySm2(pub.get(), kMessage, signature, "8765432187654321"));
  // Halves in big-endian order are not the platform's layout.
  Bytes swapped = Reversed(Bytes(signature.begin(), signature.begin() + 32));
  const Bytes s = Reversed(Bytes(signature.begin() + 32, signature.end()));
  swapped.insert(swapped.end(), s.begin(), s.end());
  EXPECT_FALSE(VerifySm2(pub.get(), kMessage, swapped, "1234567812345678"));
}

using ProviderKeyTest = SoftHomesTest;

TEST_F(ProviderKeyTest, TokenKeysTakeOnlyTheirOwnCertificate) {
  const std::u16string name = UniqueContainer("cert");
  Prov token;
  Key tokenKey;
  ASSERT_TRUE(token.Acquire(name.c_str(), kRsaToken, CRYPT_NEWKEYSET));
  ASSERT_TRUE(Plat().CryptGenKey(token.h, AT_KEYEXCHANGE, 1024 << 16, &tokenKey.h));
  Pkey other(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024}));
  const Bytes tokenCert = CertOfKey(RsaFromPublicBlob(ExportKey(tokenKey.h, PUBLICKEYBLOB)).get());

  EXPECT_FAILS_WITH(NTE_BAD_PUBLIC_KEY,
                    Plat().CryptSetKeyParam(tokenKey.h, KP_CERTIFICATE, CertOfKey(other.get()).data(), 0));
  ASSERT_TRUE(Plat().CryptSetKeyParam(tokenKey.h, KP_CERTIFICATE, tokenCert.data(), 0));
  // Read back through a new handle of the container.
  Prov reopened;
  ASSERT_TRUE(reopened.Acquire(name.c_str(), kRsaToken, 0));
  Key key;
  ASSERT_TRUE(Plat().CryptGetUserKey(reopened.h, AT_KEYEXCHANGE, &key.h));
  DWORD size = 0;
  ASSERT_TRUE(Plat().CryptGetKeyParam(key.h, KP_CERTIFICATE, nullptr, &size, 0));
  Bytes stored(size);
  ASSERT_TRUE(Plat().CryptGetKeyParam(key.h, KP_CERTIFICATE, stored.data(), &size, 0));
  EXPECT_EQ(tokenCert, stored);
}

}  // namespace
