// Encryption and decryption checked against OpenSSL: RSA with the number
// little-endian, 3DES with its padding, against EVP with the same key and mode.
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
}

}  // namespace
