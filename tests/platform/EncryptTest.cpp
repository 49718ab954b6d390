// Encryption and decryption checked against OpenSSL: RSA with the number
// little-endian, 3DES-ECB with its padding, against EVP with the same key
// (RSA decryption: the token import's key opening what OpenSSL wraps).
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include "support/CryptTestSupport.h"

namespace {

using EncryptTest = SoftHomesTest;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;

// The key check's sequence: a size query without a buffer, then the
// encryption (the number little-endian), which OpenSSL decrypts.
TEST_F(EncryptTest, RsaEncryptsPkcs1ThatOpenSslDecrypts) {
  Prov prov;
  ASSERT_TRUE(prov.Acquire(nullptr, kEnhanced, CRYPT_VERIFYCONTEXT));
  Pkey priv(EVP_RSA_gen(1024));
  std::unique_ptr<BIO, OpenSslFree<BIO, BIO_free_all>> bio(BIO_new(BIO_s_mem()));
  ASSERT_GT(i2b_PublicKey_bio(bio.get(), priv.get()), 0);  // OpenSSL writes the PUBLICKEYBLOB
  BYTE* blob = nullptr;
  const DWORD blobSize = static_cast<DWORD>(BIO_get_mem_data(bio.get(), &blob));
  Key pub;
  ASSERT_TRUE(Plat().CryptImportKey(prov.h, blob, blobSize, 0, 0, &pub.h));
  const Bytes plain = Random(117);  // modulus - 11, the longest
  DWORD length = 117;
  ASSERT_TRUE(Plat().CryptEncrypt(pub.h, 0, TRUE, 0, nullptr, &length, 0));
  ASSERT_EQ(128u, length);
  Bytes data = plain;
  data.resize(128);
  length = 117;
  ASSERT_TRUE(Plat().CryptEncrypt(pub.h, 0, TRUE, 0, data.data(), &length, 128) && length == 128);
  const Bytes wrapped = Reversed(data);  // OpenSSL reads the number big-endian
  PkeyCtx ctx(EVP_PKEY_CTX_new(priv.get(), nullptr));
  size_t outSize = 128;
  ASSERT_TRUE(EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
              EVP_PKEY_decrypt(ctx.get(), data.data(), &outSize, wrapped.data(), wrapped.size()) == 1);
  EXPECT_EQ(plain, Bytes(data.begin(), data.begin() + static_cast<long>(outSize)));
}

using SessionCipherTest = SoftHomesTest;

// 3DES-ECB decryption, one final call as the import makes it, of what EVP
// enciphers: padding that holds is removed, padding that does not and a
// length that is no whole block are refused.
TEST_F(SessionCipherTest, TripleDesPaddingIsChecked) {
  const Bytes des3 = Random(24);
  const auto ecb = [&](const Bytes& plain, bool pad) { return Encipher(EVP_des_ede3_ecb(), des3, plain, pad); };
  const Bytes seven = {1, 2, 3, 4, 5, 6, 7}, eight = {1, 2, 3, 4, 5, 6, 7, 8};
  const struct { Bytes data; Bytes plain; } rows[] = {  // plain empty: NTE_BAD_DATA
      {ecb(seven, true), seven},                  // 7 octets and 01
      {ecb(eight, true), eight},                  // a whole block of padding follows
      {ecb({1, 2, 3, 4, 5, 6, 7, 0}, false), {}},  // pad zero
      {ecb({1, 2, 3, 4, 5, 6, 7, 9}, false), {}},  // pad above the block
      {ecb({1, 2, 3, 4, 5, 6, 2, 3}, false), {}},  // inconsistent
      {ecb({1, 2, 3, 4, 5, 1, 3, 3}, false), {}},  // inconsistent in the first padding octet
      {Bytes(12, 0), {}},                         // no whole block
  };
  Prov prov;
  ASSERT_TRUE(prov.Acquire(nullptr, kEnhanced, CRYPT_VERIFYCONTEXT));
  for (const auto& r : rows) {
    SCOPED_TRACE(ToHex(r.data));
    Key session;
    ASSERT_TRUE(ImportPlain3Des(prov.h, des3, CRYPT_MODE_ECB, &session.h));
    Bytes data = r.data;
    DWORD size = static_cast<DWORD>(data.size());
    if (r.plain.empty()) {
      EXPECT_FAILS_WITH(NTE_BAD_DATA, Plat().CryptDecrypt(session.h, 0, TRUE, 0, data.data(), &size));
      continue;
    }
    ASSERT_TRUE(Plat().CryptDecrypt(session.h, 0, TRUE, 0, data.data(), &size));
    EXPECT_EQ(r.plain, Bytes(data.begin(), data.begin() + size));
  }
}

}  // namespace
