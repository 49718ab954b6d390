// Session keys: the SIMPLEBLOB import through an RSA key whose exponents
// are all 1, and the round trip of a 3DES key through SIMPLEBLOBs.
#include <gtest/gtest.h>

#include <cstring>

#include "support/CryptCalls.h"

namespace {

class SessionKeyTest : public SoftHomesTest {
 protected:
  // An exponent-one key pair in `prov`'s container: an exportable
  // exchange key whose public exponent, exponent1, exponent2 and private
  // exponent are overwritten with 1 and imported again.
  void MakeExponentOneKey(HCRYPTPROV prov, HCRYPTKEY* result) {
    Key generated;
    ASSERT_TRUE(Plat().CryptGenKey(prov, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &generated.h));
    Bytes blob = ExportKey(generated.h, PRIVATEKEYBLOB);
    ASSERT_FALSE(blob.empty());
    DWORD n = 0;
    std::memcpy(&n, &blob[12], 4);
    auto setOne = [&](size_t offset, size_t size) {
      std::memset(&blob[offset], 0, size);
      blob[offset] = 1;
    };
    setOne(16, 4);                                // public exponent
    setOne(20 + n / 8 + 2 * (n / 16), n / 16);    // exponent1
    setOne(20 + n / 8 + 3 * (n / 16), n / 16);    // exponent2
    setOne(20 + n / 8 + 5 * (n / 16), n / 8);     // private exponent
    ASSERT_TRUE(Plat().CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, result));
  }

  // The SIMPLEBLOB of a plaintext session key laid out as an encryption
  // block (key reversed, 00, non-zero padding, 02, 00).
  static Bytes PlainSessionBlob(ALG_ID alg, const Bytes& key, size_t modulus) {
    Bytes blob(12 + modulus, 0);
    blob[0] = SIMPLEBLOB;
    blob[1] = 2;
    std::memcpy(&blob[4], &alg, 4);
    const ALG_ID wrap = CALG_RSA_KEYX;
    std::memcpy(&blob[8], &wrap, 4);
    const Bytes reversed = Reversed(key);
    std::copy(reversed.begin(), reversed.end(), blob.begin() + 12);
    Bytes padding = Random(modulus - key.size() - 3);
    for (BYTE& b : padding) b = b ? b : 1;
    std::copy(padding.begin(), padding.end(), blob.begin() + 13 + static_cast<long>(key.size()));
    blob[10 + modulus] = 0x02;
    blob[11 + modulus] = 0x00;
    return blob;
  }
};

TEST_F(SessionKeyTest, ExponentOneKeyGivesBackThe3DesKey) {
  Prov prov;
  ASSERT_TRUE(prov.Acquire(u"SGKEYCONTAINER", kEnhanced, CRYPT_NEWKEYSET));
  Key one;
  MakeExponentOneKey(prov.h, &one.h);
  EXPECT_EQ(1024u, KeyParam(one.h, KP_KEYLEN));
  EXPECT_EQ(static_cast<DWORD>(CALG_RSA_KEYX), KeyParam(one.h, KP_ALGID));

  const Bytes des3 = Random(24);
  const Bytes blob = PlainSessionBlob(CALG_3DES, des3, 128);
  Key session;
  ASSERT_TRUE(Plat().CryptImportKey(prov.h, blob.data(), static_cast<DWORD>(blob.size()), one.h,
                                    CRYPT_EXPORTABLE, &session.h))
      << std::hex << LastError();
  EXPECT_EQ(static_cast<DWORD>(CALG_3DES), KeyParam(session.h, KP_ALGID));
  EXPECT_EQ(192u, KeyParam(session.h, KP_KEYLEN));
  const Bytes plain = ExportKey(session.h, PLAINTEXTKEYBLOB);
  ASSERT_EQ(12u + 24, plain.size());
  EXPECT_EQ(des3, Bytes(plain.begin() + 12, plain.end()));  // (its decryption: TripleDesPaddingIsChecked)
}

TEST_F(SessionKeyTest, SessionKeysRoundTripThroughSimpleBlobs) {
  Prov prov;
  ASSERT_TRUE(prov.Acquire(nullptr, kEnhanced, CRYPT_VERIFYCONTEXT));
  Key exchange, session;
  ASSERT_TRUE(Plat().CryptGenKey(prov.h, AT_KEYEXCHANGE, 1024 << 16, &exchange.h));
  ASSERT_TRUE(Plat().CryptGenKey(prov.h, CALG_3DES, CRYPT_EXPORTABLE, &session.h));
  const Bytes wrapped = ExportKey(session.h, SIMPLEBLOB, exchange.h);
  ASSERT_EQ(12u + 128, wrapped.size());
  Key back;
  ASSERT_TRUE(Plat().CryptImportKey(prov.h, wrapped.data(), static_cast<DWORD>(wrapped.size()), exchange.h,
                                    CRYPT_EXPORTABLE, &back.h));
  EXPECT_EQ(ExportKey(session.h, PLAINTEXTKEYBLOB), ExportKey(back.h, PLAINTEXTKEYBLOB));
  Prov baseProv;  // no 3DES in the base provider
  Key base;
  ASSERT_TRUE(baseProv.Acquire(nullptr, kBase, CRYPT_VERIFYCONTEXT));
  EXPECT_FAILS_WITH(NTE_BAD_ALGID, Plat().CryptGenKey(baseProv.h, CALG_3DES, 0, &base.h));
}

}  // namespace
