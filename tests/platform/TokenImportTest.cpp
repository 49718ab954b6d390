// The tokens' import of an authority's wrapped key through a reference
// blob, with the envelopes made here by OpenSSL.
#include <gtest/gtest.h>

#include <cstring>

#include "CryptTestSupport.h"
#include "support/TestSupport.h"

namespace {

Bytes DerOf(EVP_PKEY* key) {
  const int size = i2d_PrivateKey(key, nullptr);
  Bytes der(static_cast<size_t>(size));
  unsigned char* p = der.data();
  i2d_PrivateKey(key, &p);
  return der;
}

Bytes Sm2Point(EVP_PKEY* key) {
  Bytes point(65);
  size_t size = 0;
  EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &size);
  return point;
}

Bytes Sm2Scalar(EVP_PKEY* key) {
  BIGNUM* d = nullptr;
  EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d);
  Bytes scalar(32);
  BN_bn2binpad(d, scalar.data(), 32);
  BN_clear_free(d);
  return scalar;
}

void PutLe(Bytes* blob, size_t offset, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) (*blob)[offset + i] = static_cast<BYTE>(value >> (8 * i));
}

// The 32-octet reference blob of the encrypted RSA format.
Bytes RsaReferenceBlob(DWORD bits, const Bytes& composed) {
  Bytes blob(32, 0);
  blob[0] = PRIVATEKEYBLOB;
  blob[1] = 2;
  PutLe(&blob, 2, 1, 2);  // reserved 1: the blob refers to its key material
  PutLe(&blob, 4, CALG_RSA_KEYX, 4);
  PutLe(&blob, 8, CALG_RSA_KEYX, 4);
  PutLe(&blob, 12, bits, 4);
  PutLe(&blob, 16, composed.size() * 8, 4);
  PutLe(&blob, 24, reinterpret_cast<uintptr_t>(composed.data()), 8);
  return blob;
}

// The 24-octet reference blob of the SM2 format.
Bytes Sm2ReferenceBlob(const Bytes& envelope) {
  Bytes blob(24, 0);
  blob[0] = PRIVATEKEYBLOB;
  blob[1] = 2;
  PutLe(&blob, 2, 1, 2);
  PutLe(&blob, 4, KL_CALG_SM2_KEYX, 4);
  PutLe(&blob, 8, KL_CALG_SM2_KEYX, 4);
  PutLe(&blob, 12, envelope.size() * 8, 4);
  PutLe(&blob, 16, reinterpret_cast<uintptr_t>(envelope.data()), 8);
  return blob;
}

class TokenImportTest : public ::testing::Test {
 protected:
  ScopedSoftHomes homes_;
  Prov prov_;
  Key temporary_;

  void OpenToken(const char16_t* provider, ALG_ID exchangeAlg, DWORD bits) {
    const std::u16string name = UniqueContainer("token");
    ASSERT_TRUE(prov_.Acquire(name.c_str(), provider, CRYPT_NEWKEYSET));
    ASSERT_TRUE(Plat().CryptGenKey(prov_.h, exchangeAlg, bits << 16, &temporary_.h));
    // The import opens the container the way the control does.
    ASSERT_TRUE(prov_.Acquire(name.c_str(), provider, CRYPT_VERIFYCONTEXT));
  }
  Bytes StoredPublicBlob() {
    Key stored;
    EXPECT_TRUE(Plat().CryptGetUserKey(prov_.h, AT_KEYEXCHANGE, &stored.h));
    return ExportKey(stored.h, PUBLICKEYBLOB);
  }
};

constexpr char kEnvelopeDes3[] = "1.3.6.1.4.1.4929.1.7";

// SEQUENCE { INTEGER version, OID rsaEncryption, OID symmetric (normally
// 1.3.6.1.4.1.4929.1.7), OCTET STRING wrapped session key, OCTET STRING
// wrapped private key }.
Bytes RsaEnvelope(long version, const char* symmetric, const Bytes& wrappedSession,
                  const Bytes& wrappedKey) {
  return DerSequence({DerInteger(version), DerOid("1.2.840.113549.1.1.1"), DerOid(symmetric),
                      DerOctets(wrappedSession), DerOctets(wrappedKey)});
}

Bytes ComposeRsaEnvelope(EVP_PKEY* temporaryPublic, EVP_PKEY* authorityKey, const Bytes& sessionKey,
                         size_t wrapExtra = 0) {
  Bytes session = sessionKey;
  session.resize(sessionKey.size() + wrapExtra, 0xA5);
  const Bytes wrappedSession = PkeyEncrypt(temporaryPublic, session, RSA_PKCS1_PADDING);
  const Bytes wrappedKey = Encipher(EVP_des_ede3_ecb(), sessionKey, DerOf(authorityKey), true);
  return RsaEnvelope(1, kEnvelopeDes3, wrappedSession, wrappedKey);
}

TEST_F(TokenImportTest, RsaTokenImportsTheEncryptedFormat) {
  OpenToken(kRsaToken, AT_KEYEXCHANGE, 1024);
  Pkey temporaryPublic = RsaFromPublicBlob(ExportKey(temporary_.h, PUBLICKEYBLOB));
  Pkey authorityKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024}));
  for (size_t extra : {size_t{0}, size_t{8}}) {  // a 32-octet session key counts as its first 24
    SCOPED_TRACE(extra);
    const Bytes composed = ComposeRsaEnvelope(temporaryPublic.get(), authorityKey.get(), Random(24), extra);
    const Bytes blob = RsaReferenceBlob(1024, composed);
    Key imported;
    ASSERT_TRUE(Plat().CryptImportKey(prov_.h, blob.data(), 32, 0, 0, &imported.h)) << std::hex << LastError();
    EXPECT_EQ(static_cast<DWORD>(CALG_RSA_KEYX), KeyParam(imported.h, KP_ALGID));
    // The container's exchange key is now the authority's key.
    Pkey stored = RsaFromPublicBlob(StoredPublicBlob());
    EXPECT_EQ(PublicOf(authorityKey.get()), PublicOf(stored.get()));
    const Bytes certificate = MakeCertificate(authorityKey.get());
    EXPECT_TRUE(Plat().CryptSetKeyParam(imported.h, KP_CERTIFICATE, certificate.data(), 0));
    // Its private half works: it opens what OpenSSL wraps for it.
    const Bytes secret = Random(16);
    Bytes data = Reversed(PkeyEncrypt(authorityKey.get(), secret, RSA_PKCS1_PADDING));
    DWORD size = static_cast<DWORD>(data.size());
    ASSERT_TRUE(Plat().CryptDecrypt(imported.h, 0, TRUE, 0, data.data(), &size));
    EXPECT_EQ(secret, Bytes(data.begin(), data.begin() + size));
    // The new key wraps the next envelope.
    temporaryPublic = RsaFromPublicBlob(StoredPublicBlob());
    authorityKey.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024}));
  }
}

TEST_F(TokenImportTest, RsaTokenRefusesBadEnvelopes) {
  OpenToken(kRsaToken, AT_KEYEXCHANGE, 1024);
  Pkey temporaryPublic = RsaFromPublicBlob(ExportKey(temporary_.h, PUBLICKEYBLOB));
  Pkey authorityKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024}));
  const Bytes before = StoredPublicBlob();
  const Bytes sessionKey = Random(24);
  const Bytes wrappedSession = PkeyEncrypt(temporaryPublic.get(), sessionKey, RSA_PKCS1_PADDING);
  const Bytes plain = DerOf(authorityKey.get());
  const Bytes wrappedKey = Encipher(EVP_des_ede3_ecb(), sessionKey, plain, true);
  const Bytes unpadded = Encipher(EVP_des_ede3_ecb(), sessionKey,
                                  Bytes(plain.begin(), plain.begin() + 8 * (plain.size() / 8)), false);
  struct Case {
    const char* what;
    Bytes composed;
  } cases[] = {
      {"another symmetric algorithm", RsaEnvelope(1, "1.2.840.113549.3.7", wrappedSession, wrappedKey)},
      {"version 2", RsaEnvelope(2, kEnvelopeDes3, wrappedSession, wrappedKey)},
      {"unpadded private key", RsaEnvelope(1, kEnvelopeDes3, wrappedSession, unpadded)},
      {"session key for another key",
       RsaEnvelope(1, kEnvelopeDes3, PkeyEncrypt(authorityKey.get(), sessionKey, RSA_PKCS1_PADDING),
                   wrappedKey)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes blob = RsaReferenceBlob(1024, c.composed);
    Key imported;
    EXPECT_FAILS_WITH(NTE_BAD_DATA, Plat().CryptImportKey(prov_.h, blob.data(), 32, 0, 0, &imported.h));
  }
  // Truncated reference blob and a null address.
  const Bytes good = ComposeRsaEnvelope(temporaryPublic.get(), authorityKey.get(), sessionKey);
  Bytes blob = RsaReferenceBlob(1024, good);
  Key imported;
  EXPECT_FAILS_WITH(NTE_BAD_DATA, Plat().CryptImportKey(prov_.h, blob.data(), 24, 0, 0, &imported.h));
  PutLe(&blob, 24, 0, 8);
  EXPECT_FAILS_WITH(NTE_BAD_DATA, Plat().CryptImportKey(prov_.h, blob.data(), 32, 0, 0, &imported.h));
  EXPECT_EQ(before, StoredPublicBlob());  // nothing replaced
}

// SM2EnvelopedKey: SEQUENCE { SEQUENCE { OID SM4-ECB }, SM2Cipher, BIT STRING
// 04||X||Y, BIT STRING SM4-ECB(private key) }.
Bytes ComposeSm2Envelope(EVP_PKEY* temporaryPublic, EVP_PKEY* authorityKey, EVP_PKEY* namedKey) {
  const Bytes sm4Key = Random(16);
  const Bytes cipher = PkeyEncrypt(temporaryPublic, sm4Key, 0);  // DER SM2Cipher
  const Bytes wrappedKey = Encipher(EVP_sm4_ecb(), sm4Key, Sm2Scalar(authorityKey), false);
  const Bytes point = Sm2Point(namedKey);
  return DerSequence({DerSequence({DerOid("1.2.156.10197.1.104.1")}), cipher,
                      DerBits(point), DerBits(wrappedKey)});
}

TEST_F(TokenImportTest, Sm2TokenImportsTheEnvelopedKey) {
  OpenToken(kSm2Token, KL_CALG_SM2_KEYX, 256);
  Pkey temporaryPublic = Sm2FromPublicBlob(ExportKey(temporary_.h, PUBLICKEYBLOB));
  ASSERT_TRUE(temporaryPublic);
  Pkey authorityKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
  const Bytes envelope = ComposeSm2Envelope(temporaryPublic.get(), authorityKey.get(), authorityKey.get());
  const Bytes blob = Sm2ReferenceBlob(envelope);
  Key imported;
  ASSERT_TRUE(Plat().CryptImportKey(prov_.h, blob.data(), 24, 0, 0, &imported.h)) << std::hex << LastError();
  EXPECT_EQ(static_cast<DWORD>(KL_CALG_SM2_KEYX), KeyParam(imported.h, KP_ALGID));
  Pkey stored = Sm2FromPublicBlob(StoredPublicBlob());
  ASSERT_TRUE(stored);
  EXPECT_EQ(Sm2Point(authorityKey.get()), Sm2Point(stored.get()));
  const Bytes certificate = MakeCertificate(authorityKey.get());
  EXPECT_TRUE(Plat().CryptSetKeyParam(imported.h, KP_CERTIFICATE, certificate.data(), 0))
      << std::hex << LastError();
}

TEST_F(TokenImportTest, Sm2TokenRefusesAKeyThatIsNotTheNamedOne) {
  OpenToken(kSm2Token, KL_CALG_SM2_KEYX, 256);
  Pkey temporaryPublic = Sm2FromPublicBlob(ExportKey(temporary_.h, PUBLICKEYBLOB));
  Pkey authorityKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
  Pkey otherKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
  const Bytes before = StoredPublicBlob();
  const Bytes envelope = ComposeSm2Envelope(temporaryPublic.get(), authorityKey.get(), otherKey.get());
  const Bytes blob = Sm2ReferenceBlob(envelope);
  Key imported;
  EXPECT_FAILS_WITH(NTE_BAD_DATA, Plat().CryptImportKey(prov_.h, blob.data(), 24, 0, 0, &imported.h));
  // Wrapped for another temporary key: the SM2 decryption fails.
  const Bytes foreign = ComposeSm2Envelope(otherKey.get(), authorityKey.get(), authorityKey.get());
  const Bytes foreignBlob = Sm2ReferenceBlob(foreign);
  EXPECT_FAILS_WITH(NTE_BAD_DATA, Plat().CryptImportKey(prov_.h, foreignBlob.data(), 24, 0, 0, &imported.h));
  EXPECT_EQ(before, StoredPublicBlob());
}

}  // namespace
