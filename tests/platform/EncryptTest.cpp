// CryptEncrypt: RSA to a public key whose private half OpenSSL holds (the
// platform writes the number little-endian), and 3DES checked against
// OpenSSL's EVP with the same key, mode and padding.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "support/CryptTestSupport.h"
#include "support/TestSupport.h"

namespace {

using EncryptTest = SoftHomesTest;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;

TEST_F(EncryptTest, RsaEncryptsPkcs1ThatOpenSslDecrypts) {
  const struct { unsigned bits; size_t plainSize; DWORD error; } kRows[] = {
      {1024, 1, 0},
      {1024, 117, 0},  // modulus - 11: the longest message
      {1024, 118, static_cast<DWORD>(NTE_BAD_LEN)},
      {2048, 32, 0},
  };
  Prov prov;
  ASSERT_TRUE(prov.Acquire(nullptr, kEnhanced, CRYPT_VERIFYCONTEXT));
  for (const auto& row : kRows) {
    SCOPED_TRACE(testing::Message() << row.bits << " bits, " << row.plainSize << " octets");
    Pkey priv(EVP_RSA_gen(row.bits));
    std::unique_ptr<BIO, OpenSslFree<BIO, BIO_free_all>> bio(BIO_new(BIO_s_mem()));
    ASSERT_GT(i2b_PublicKey_bio(bio.get(), priv.get()), 0);  // OpenSSL writes the PUBLICKEYBLOB
    BYTE* blob = nullptr;
    const long blobSize = BIO_get_mem_data(bio.get(), &blob);
    Key pub;
    ASSERT_TRUE(Plat().CryptImportKey(prov.h, blob, static_cast<DWORD>(blobSize), 0, 0, &pub.h));
    const Bytes plain = Random(row.plainSize);
    const DWORD modulus = row.bits / 8;
    Bytes data = plain;
    data.resize(modulus);
    DWORD length = static_cast<DWORD>(plain.size());
    if (row.error) {
      EXPECT_FAILS_WITH(row.error, Plat().CryptEncrypt(pub.h, 0, TRUE, 0, data.data(), &length, modulus));
      continue;
    }
    EXPECT_FAILS_WITH(ERROR_MORE_DATA, Plat().CryptEncrypt(pub.h, 0, TRUE, 0, data.data(), &length, modulus - 1));
    EXPECT_EQ(modulus, length);  // the length the output needs
    length = static_cast<DWORD>(plain.size());
    ASSERT_TRUE(Plat().CryptEncrypt(pub.h, 0, TRUE, 0, data.data(), &length, modulus));
    ASSERT_EQ(modulus, length);
    const Bytes wrapped = Reversed(data);  // OpenSSL reads the number big-endian
    PkeyCtx ctx(EVP_PKEY_CTX_new(priv.get(), nullptr));
    Bytes out(modulus);
    size_t outSize = out.size();
    ASSERT_TRUE(EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
                EVP_PKEY_decrypt(ctx.get(), out.data(), &outSize, wrapped.data(), wrapped.size()) == 1);
    EXPECT_EQ(plain, Bytes(out.begin(), out.begin() + static_cast<long>(outSize)));
  }
}

TEST_F(EncryptTest, TripleDesMatchesEvp) {
  const struct {
    DWORD mode;
    size_t plainSize, firstCall;  // octets given to a first, non-final call
    BOOL final;
    DWORD error;  // 0: the output equals EVP's (padded when final)
  } kRows[] = {
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
  // PLAINTEXTKEYBLOB: 08 02 00 00 | CALG_3DES (03 66 00 00) | length 24 | key
  Bytes blob = {PLAINTEXTKEYBLOB, 2, 0, 0, 0x03, 0x66, 0, 0, 24, 0, 0, 0};
  blob.insert(blob.end(), des3.begin(), des3.end());
  for (const auto& row : kRows) {
    SCOPED_TRACE(testing::Message() << "mode " << row.mode << " size " << row.plainSize);
    Key session;
    ASSERT_TRUE(Plat().CryptImportKey(prov.h, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &session.h));
    ASSERT_TRUE(Plat().CryptSetKeyParam(session.h, KP_MODE, reinterpret_cast<const BYTE*>(&row.mode), 0));
    const Bytes plain = Random(row.plainSize);
    Bytes data = plain;
    data.resize(plain.size() + 8);
    DWORD first = static_cast<DWORD>(row.firstCall), length = static_cast<DWORD>(plain.size() - row.firstCall);
    const DWORD room = static_cast<DWORD>(data.size() - row.firstCall);
    ASSERT_TRUE(!first || Plat().CryptEncrypt(session.h, 0, FALSE, 0, data.data(), &first, first));
    if (row.error) {
      EXPECT_FAILS_WITH(row.error, Plat().CryptEncrypt(session.h, 0, row.final, 0, data.data(), &length, room));
      continue;
    }
    ASSERT_TRUE(Plat().CryptEncrypt(session.h, 0, row.final, 0, data.data() + first, &length, room));
    const EVP_CIPHER* cipher = row.mode == CRYPT_MODE_ECB ? EVP_des_ede3_ecb() : EVP_des_ede3_cbc();
    EXPECT_EQ(Encipher(cipher, des3, plain, row.final != FALSE), Bytes(data.begin(), data.begin() + first + length));
  }
}

}  // namespace
