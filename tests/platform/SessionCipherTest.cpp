// Decryption checked against OpenSSL: 3DES with its padding, and RSA
// decryption of what OpenSSL encrypted.
#include <gtest/gtest.h>

#include "support/CryptTestSupport.h"

namespace {

using SessionCipherTest = SoftHomesTest;

// Final blocks whose padding is wrong, and a length that is no whole
// block, are refused (padding that holds: EncryptTest decrypts it back).
TEST_F(SessionCipherTest, TripleDesPaddingIsChecked) {
  Prov prov;
  const Bytes des3 = Random(24);
  Key session;
  ASSERT_TRUE(prov.Acquire(nullptr, kEnhanced, CRYPT_VERIFYCONTEXT) &&
              ImportPlain3Des(prov.h, des3, CRYPT_MODE_ECB, &session.h));
  const auto ecb = [&](const Bytes& plain) { return Encipher(EVP_des_ede3_ecb(), des3, plain, false); };
  const Bytes cases[] = {
      ecb({1, 2, 3, 4, 5, 6, 7, 0}),  // pad zero
      ecb({1, 2, 3, 4, 5, 6, 7, 9}),  // pad above the block
      ecb({1, 2, 3, 4, 5, 6, 2, 3}),  // inconsistent
      ecb({1, 2, 3, 4, 5, 1, 3, 3}),  // inconsistent in the first padding octet
      Bytes(12, 0),                   // no whole block
  };
  for (Bytes data : cases) {
    SCOPED_TRACE(ToHex(data));
    DWORD size = static_cast<DWORD>(data.size());
    EXPECT_FAILS_WITH(NTE_BAD_DATA, Plat().CryptDecrypt(session.h, 0, TRUE, 0, data.data(), &size));
  }
}

TEST_F(SessionCipherTest, RsaDecryptionIsLittleEndianPkcs1) {
  Prov prov;
  Key key;
  ASSERT_TRUE(NewContainerKey(&prov, &key, "decrypt", kStrong, AT_KEYEXCHANGE, 1024 << 16));
  Pkey pub = RsaFromPublicBlob(ExportKey(key.h, PUBLICKEYBLOB));
  const Bytes secret = Random(24);
  const Bytes wrapped = PkeyEncrypt(pub.get(), secret, RSA_PKCS1_PADDING);
  ASSERT_EQ(128u, wrapped.size());

  Bytes data = Reversed(wrapped);
  DWORD length = 128;
  ASSERT_TRUE(Plat().CryptDecrypt(key.h, 0, TRUE, 0, data.data(), &length));
  EXPECT_EQ(secret, Bytes(data.begin(), data.begin() + length));
  data = wrapped;  // big-endian is not the platform's order
  length = 128;
  EXPECT_FAILS_WITH(NTE_BAD_DATA, Plat().CryptDecrypt(key.h, 0, TRUE, 0, data.data(), &length));
  length = 64;
  EXPECT_FAILS_WITH(NTE_BAD_LEN, Plat().CryptDecrypt(key.h, 0, TRUE, 0, data.data(), &length));
}

}  // namespace
