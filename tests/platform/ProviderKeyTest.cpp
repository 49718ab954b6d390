// The certificates that tokens keep with their keys, read by OpenSSL. (The
// public-key info OpenSSL reads: CreatePublicKeyTest and EnrollmentRequest.)
#include <gtest/gtest.h>

#include "support/CryptTestSupport.h"
#include "support/TestSupport.h"

namespace {

using ProviderKeyTest = SoftHomesTest;

TEST_F(ProviderKeyTest, CertificatesBindOnlyToTokenKeys) {
  const std::u16string name = UniqueContainer("cert");
  Prov soft, token;
  Key softKey, tokenKey;
  ASSERT_TRUE(soft.Acquire(name.c_str(), kEnhanced, CRYPT_NEWKEYSET));
  ASSERT_TRUE(Plat().CryptGenKey(soft.h, AT_KEYEXCHANGE, 1024 << 16, &softKey.h));
  ASSERT_TRUE(token.Acquire(name.c_str(), kRsaToken, CRYPT_NEWKEYSET));
  ASSERT_TRUE(Plat().CryptGenKey(token.h, AT_KEYEXCHANGE, 1024 << 16, &tokenKey.h));
  const Bytes softCert = CertOfKey(RsaFromPublicBlob(ExportKey(softKey.h, PUBLICKEYBLOB)).get());
  const Bytes tokenCert = CertOfKey(RsaFromPublicBlob(ExportKey(tokenKey.h, PUBLICKEYBLOB)).get());

  EXPECT_FAILS_WITH(NTE_BAD_TYPE, Plat().CryptSetKeyParam(softKey.h, KP_CERTIFICATE, softCert.data(), 0));
  EXPECT_FAILS_WITH(NTE_BAD_PUBLIC_KEY,
                    Plat().CryptSetKeyParam(tokenKey.h, KP_CERTIFICATE, softCert.data(), 0));
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
