// CryptEncrypt: RSA to a public key OpenSSL holds the private half of
// (the platform's output is little-endian), and 3DES checked against
// OpenSSL's EVP with the same key, mode and padding.
#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include "support/CryptTestSupport.h"
#include "support/TestSupport.h"

namespace {

using EncryptTest = SoftHomesTest;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;

// The PUBLICKEYBLOB of an OpenSSL RSA key: 06 02 00 00 | CALG_RSA_KEYX
// (00 A4 00 00) | "RSA1" | bit length | public exponent | modulus, the
// numbers least significant octet first.
Bytes PublicBlobOf(EVP_PKEY* key) {
  BIGNUM *n = nullptr, *e = nullptr;
  EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n);
  EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e);
  const int bytes = BN_num_bytes(n);
  Bytes blob = {PUBLICKEYBLOB, 2, 0, 0, 0x00, 0xA4, 0, 0, 'R', 'S', 'A', '1'};
  const DWORD bits = static_cast<DWORD>(bytes) * 8, exponent = static_cast<DWORD>(BN_get_word(e));
  for (DWORD v : {bits, exponent})
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<uint8_t>(v >> (8 * i)));
  Bytes modulus(static_cast<size_t>(bytes));
  BN_bn2lebinpad(n, modulus.data(), bytes);
  blob.insert(blob.end(), modulus.begin(), modulus.end());
  BN_free(n);
  BN_free(e);
  return blob;
}

TEST_F(EncryptTest, RsaEncryptsPkcs1ThatOpenSslDecrypts) {
  const struct {
    int bits;
    size_t plainSize;
    DWORD error;  // 0: encrypts
  } kRows[] = {
      {1024, 1, 0},
      {1024, 117, 0},  // modulus - 11: the longest message
      {1024, 118, static_cast<DWORD>(NTE_BAD_LEN)},
      {2048, 32, 0},
  };
  Prov prov;
  ASSERT_TRUE(prov.Acquire(nullptr, kEnhanced, CRYPT_VERIFYCONTEXT));
  for (const auto& row : kRows) {
    SCOPED_TRACE(testing::Message() << row.bits << " bits, " << row.plainSize << " octets");
    Pkey priv(EVP_RSA_gen(static_cast<unsigned>(row.bits)));
    const Bytes blob = PublicBlobOf(priv.get());
    Key pub;
    ASSERT_TRUE(Plat().CryptImportKey(prov.h, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &pub.h));
    const Bytes plain = Random(row.plainSize);
    const DWORD modulus = static_cast<DWORD>(row.bits / 8);
    DWORD length = static_cast<DWORD>(plain.size());
    if (row.error) {
      EXPECT_FAILS_WITH(row.error, Plat().CryptEncrypt(pub.h, 0, TRUE, 0, nullptr, &length, 0));
      continue;
    }
    ASSERT_TRUE(Plat().CryptEncrypt(pub.h, 0, TRUE, 0, nullptr, &length, 0));
    EXPECT_EQ(modulus, length);  // the size query
    Bytes data = plain;
    data.resize(modulus);
    length = static_cast<DWORD>(plain.size());
    EXPECT_FAILS_WITH(ERROR_MORE_DATA, Plat().CryptEncrypt(pub.h, 0, TRUE, 0, data.data(), &length, modulus - 1));
    EXPECT_EQ(modulus, length);
    length = static_cast<DWORD>(plain.size());
    ASSERT_TRUE(Plat().CryptEncrypt(pub.h, 0, TRUE, 0, data.data(), &length, modulus));
    ASSERT_EQ(modulus, length);

    const Bytes wrapped = Reversed(data);  // OpenSSL reads the number big-endian
    PkeyCtx ctx(EVP_PKEY_CTX_new(priv.get(), nullptr));
    Bytes out(modulus);
    size_t outSize = out.size();
    ASSERT_TRUE(EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
                EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                EVP_PKEY_decrypt(ctx.get(), out.data(), &outSize, wrapped.data(), wrapped.size()) == 1);
    out.resize(outSize);
    EXPECT_EQ(plain, out);
  }
}

TEST_F(EncryptTest, TripleDesMatchesEvp) {
  const struct {
    DWORD mode;
    BOOL final;
    size_t plainSize;
    DWORD error;  // 0: the output equals EVP's, padded on the final call
  } kRows[] = {
      {CRYPT_MODE_ECB, TRUE, 0, 0},   // one block of 08 x 8
      {CRYPT_MODE_ECB, TRUE, 7, 0},   // 7 octets and 01
      {CRYPT_MODE_ECB, TRUE, 8, 0},   // a whole block of padding follows
      {CRYPT_MODE_CBC, TRUE, 40, 0},  // 40 octets and 08 x 8, zero IV
      {CRYPT_MODE_CBC, FALSE, 16, 0}, // no padding before the final call
      {CRYPT_MODE_CBC, FALSE, 12, static_cast<DWORD>(NTE_BAD_DATA)},
  };
  const Bytes des3 = Random(24);
  Prov prov;
  ASSERT_TRUE(prov.Acquire(nullptr, kEnhanced, CRYPT_VERIFYCONTEXT));
  // PLAINTEXTKEYBLOB: 08 02 00 00 | CALG_3DES (03 66 00 00) | length 24 | key
  Bytes blob = {PLAINTEXTKEYBLOB, 2, 0, 0, 0x03, 0x66, 0, 0, 24, 0, 0, 0};
  blob.insert(blob.end(), des3.begin(), des3.end());
  for (const auto& row : kRows) {
    SCOPED_TRACE(testing::Message() << "mode " << row.mode << " final " << row.final << " size " << row.plainSize);
    Key session;
    ASSERT_TRUE(Plat().CryptImportKey(prov.h, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &session.h));
    ASSERT_TRUE(Plat().CryptSetKeyParam(session.h, KP_MODE, reinterpret_cast<const BYTE*>(&row.mode), 0));
    const Bytes plain = Random(row.plainSize);
    Bytes data = plain;
    data.resize(plain.size() + 8);
    DWORD length = static_cast<DWORD>(plain.size());
    if (row.error) {
      EXPECT_FAILS_WITH(row.error, Plat().CryptEncrypt(session.h, 0, row.final, 0, data.data(), &length,
                                                       static_cast<DWORD>(data.size())));
      continue;
    }
    ASSERT_TRUE(Plat().CryptEncrypt(session.h, 0, row.final, 0, data.data(), &length,
                                    static_cast<DWORD>(data.size())));
    const EVP_CIPHER* cipher = row.mode == CRYPT_MODE_ECB ? EVP_des_ede3_ecb() : EVP_des_ede3_cbc();
    EXPECT_EQ(Encipher(cipher, des3, plain, row.final != FALSE), Bytes(data.begin(), data.begin() + length));
  }
}

// A message in two calls chains as one; the platform's own decryption
// reads it back.
TEST_F(EncryptTest, CbcChainsAcrossCallsAndDecryptsBack) {
  Prov prov;
  Key session;
  ASSERT_TRUE(prov.Acquire(nullptr, kEnhanced, CRYPT_VERIFYCONTEXT));
  ASSERT_TRUE(Plat().CryptGenKey(prov.h, CALG_3DES, CRYPT_EXPORTABLE, &session.h));
  const Bytes plain = Random(40);
  Bytes data = plain;
  data.resize(48);
  DWORD first = 16, rest = 24;
  ASSERT_TRUE(Plat().CryptEncrypt(session.h, 0, FALSE, 0, data.data(), &first, 16));
  ASSERT_TRUE(Plat().CryptEncrypt(session.h, 0, TRUE, 0, data.data() + 16, &rest, 32));
  ASSERT_EQ(48u, first + rest);
  DWORD all = 48;
  ASSERT_TRUE(Plat().CryptDecrypt(session.h, 0, TRUE, 0, data.data(), &all));
  EXPECT_EQ(plain, Bytes(data.begin(), data.begin() + all));
}

}  // namespace
