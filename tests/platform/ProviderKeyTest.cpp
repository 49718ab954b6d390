// Provider keys read by OpenSSL: the public-key info and the certificates
// that tokens keep with their keys.
#include <gtest/gtest.h>

#include "support/CryptTestSupport.h"
#include "support/TestSupport.h"

namespace {

using ProviderKeyTest = SoftHomesTest;

TEST_F(ProviderKeyTest, PublicKeyInfoHoldsTheDerRsaPublicKey) {
  Prov prov;
  Key key;
  ASSERT_TRUE(NewContainerKey(&prov, &key, "info", kEnhanced, AT_SIGNATURE, 1024 << 16));
  DWORD size = 0;
  ASSERT_TRUE(Plat().CryptExportPublicKeyInfo(prov.h, AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &size));
  Bytes buffer(size);
  auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
  ASSERT_TRUE(Plat().CryptExportPublicKeyInfo(prov.h, AT_SIGNATURE, X509_ASN_ENCODING, info, &size));
  EXPECT_STREQ("1.2.840.113549.1.1.1", info->Algorithm.pszObjId);
  // OpenSSL reads the member as an RSAPublicKey equal to the blob's key.
  const unsigned char* p = info->PublicKey.pbData;
  Pkey fromInfo(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, info->PublicKey.cbData));
  ASSERT_TRUE(fromInfo);
  Pkey fromBlob = RsaFromPublicBlob(ExportKey(key.h, PUBLICKEYBLOB));
  EXPECT_EQ(1, EVP_PKEY_eq(fromInfo.get(), fromBlob.get()));
  EXPECT_FAILS_WITH(NTE_NO_KEY, Plat().CryptExportPublicKeyInfo(prov.h, AT_KEYEXCHANGE,
                                                                X509_ASN_ENCODING, nullptr, &size));
}

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
