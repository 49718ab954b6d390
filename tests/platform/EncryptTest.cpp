// CryptEncrypt: RSA to a public key whose private half OpenSSL holds (the
// platform writes the number little-endian), and 3DES checked against
// OpenSSL's EVP with the same key, mode and padding.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include "support/CryptTestSupport.h"

namespace {

using EncryptTest = SoftHomesTest;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;

TEST_F(EncryptTest, RsaEncryptsPkcs1ThatOpenSslDecrypts) {
  // Too long a message fails; one octet short of room asks for the modulus.
  const struct { unsigned bits; size_t plainSize; DWORD error; } kRows[] = {
      {1024, 117, 0}, {1024, 118, static_cast<DWORD>(NTE_BAD_LEN)}, {2048, 1, 0},  // 117: modulus - 11, the longest
  };
  Prov prov;
  ASSERT_TRUE(prov.Acquire(nullptr, kEnhanced, CRYPT_VERIFYCONTEXT));
  for (const auto& row : kRows) {
    SCOPED_TRACE(testing::Message() << row.bits << " bits, " << row.plainSize << " octets");
    Pkey priv(EVP_RSA_gen(row.bits));
    std::unique_ptr<BIO, OpenSslFree<BIO, BIO_free_all>> bio(BIO_new(BIO_s_mem()));
    ASSERT_GT(i2b_PublicKey_bio(bio.get(), priv.get()), 0);  // OpenSSL writes the PUBLICKEYBLOB
    BYTE* blob = nullptr;
    const DWORD blobSize = static_cast<DWORD>(BIO_get_mem_data(bio.get(), &blob)), modulus = row.bits / 8;
    Key pub;
    ASSERT_TRUE(Plat().CryptImportKey(prov.h, blob, blobSize, 0, 0, &pub.h));
    const Bytes plain = Random(row.plainSize);
    Bytes data = plain;
    data.resize(modulus);
    DWORD length = static_cast<DWORD>(plain.size());
    EXPECT_FAILS_WITH(row.error ? row.error : ERROR_MORE_DATA,
                      Plat().CryptEncrypt(pub.h, 0, TRUE, 0, data.data(), &length, modulus - (row.error ? 0 : 1)));
    if (row.error) continue;
    EXPECT_EQ(modulus, length);
    length = static_cast<DWORD>(plain.size());
    ASSERT_TRUE(Plat().CryptEncrypt(pub.h, 0, TRUE, 0, data.data(), &length, modulus) && length == modulus);
    const Bytes wrapped = Reversed(data);  // OpenSSL reads the number big-endian
    PkeyCtx ctx(EVP_PKEY_CTX_new(priv.get(), nullptr));
    size_t outSize = modulus;
    ASSERT_TRUE(EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
                EVP_PKEY_decrypt(ctx.get(), data.data(), &outSize, wrapped.data(), wrapped.size()) == 1);
    EXPECT_EQ(plain, Bytes(data.begin(), data.begin() + static_cast<long>(outSize)));
  }
}

// Each row also decrypts the output with a fresh import in the same calls.
TEST_F(EncryptTest, TripleDesMatchesEvpAndDecryptsBack) {
  const struct { DWORD mode; size_t plainSize, firstCall; BOOL final; DWORD error; } kRows[] = {
      // firstCall: octets given to a first, non-final call; error 0: the output equals EVP's
      {CRYPT_MODE_ECB, 0, 0, TRUE, 0},    // one block 08 08 08 08 08 08 08 08
      {CRYPT_MODE_ECB, 7, 0, TRUE, 0},    // 7 octets and 01
      {CRYPT_MODE_ECB, 8, 0, TRUE, 0},    // a whole block of padding follows
      {CRYPT_MODE_CBC, 40, 16, TRUE, 0},  // two calls chain as one, zero IV
      {CRYPT_MODE_CBC, 16, 0, FALSE, 0},  // no padding before the final call
      {CRYPT_MODE_CBC, 12, 0, FALSE, static_cast<DWORD>(NTE_BAD_DATA)},
  };
  const Bytes des3 = Random(24);
  Prov prov;
  ASSERT_TRUE(prov.Acquire(nullptr, kEnhanced, CRYPT_VERIFYCONTEXT));
  for (const auto& row : kRows) {
    SCOPED_TRACE(testing::Message() << "mode " << row.mode << " size " << row.plainSize);
    const DWORD mode = row.mode == CRYPT_MODE_ECB ? row.mode : 0;  // CBC is the default
    Key session, back;
    ASSERT_TRUE(ImportPlain3Des(prov.h, des3, mode, &session.h) && ImportPlain3Des(prov.h, des3, mode, &back.h));
    const Bytes plain = Random(row.plainSize);
    Bytes data = plain;
    data.resize(plain.size() + 8);
    DWORD first = static_cast<DWORD>(row.firstCall), length = static_cast<DWORD>(plain.size()) - first;
    ASSERT_TRUE(!first || Plat().CryptEncrypt(session.h, 0, FALSE, 0, data.data(), &first, first));
    if (row.error) {
      EXPECT_FAILS_WITH(row.error, Plat().CryptEncrypt(session.h, 0, row.final, 0, data.data(), &length, 16));
      continue;
    }
    ASSERT_TRUE(Plat().CryptEncrypt(session.h, 0, row.final, 0, data.data() + first, &length,
                                    static_cast<DWORD>(data.size()) - first));
    const EVP_CIPHER* cipher = row.mode == CRYPT_MODE_ECB ? EVP_des_ede3_ecb() : EVP_des_ede3_cbc();
    EXPECT_EQ(Encipher(cipher, des3, plain, row.final), Bytes(data.begin(), data.begin() + first + length));
    ASSERT_TRUE((!first || Plat().CryptDecrypt(back.h, 0, FALSE, 0, data.data(), &first)) &&
                Plat().CryptDecrypt(back.h, 0, row.final, 0, data.data() + first, &length));
    EXPECT_EQ(plain, Bytes(data.begin(), data.begin() + first + length));
  }
}

}  // namespace
