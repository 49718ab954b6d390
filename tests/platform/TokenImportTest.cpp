// The tokens' import of an authority's wrapped key through a reference
// blob, with the envelopes made here by OpenSSL and written out by hand.
#include <gtest/gtest.h>

#include "support/CryptTestSupport.h"

namespace {

const Bytes kRsaEncryption = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};  // 1.2.840.113549.1.1.1
const Bytes kEnvelopeDes3 = {0x06, 0x09, 0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07};   // 1.3.6.1.4.1.4929.1.7
const Bytes kDesEde3Cbc = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07};          // 1.2.840.113549.3.7
const Bytes kSm4Ecb = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x68, 0x01};              // 1.2.156.10197.1.104.1

void PutLe(Bytes* blob, size_t offset, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) (*blob)[offset + i] = static_cast<BYTE>(value >> (8 * i));
}

// The reference blob: PRIVATEKEYBLOB v2, reserved 1 (the blob refers to its
// key material), the algorithm twice, (RSA: 1024 bits), the material's
// length in bits and its address; 32 octets for RSA, 24 for SM2.
Bytes ReferenceBlob(ALG_ID alg, const Bytes& material) {
  const bool rsa = alg == CALG_RSA_KEYX;
  Bytes blob(rsa ? 32 : 24, 0);
  blob[0] = PRIVATEKEYBLOB;
  blob[1] = 2;
  PutLe(&blob, 2, 1, 2);
  PutLe(&blob, 4, alg, 4);
  PutLe(&blob, 8, alg, 4);
  if (rsa) PutLe(&blob, 12, 1024, 4);
  PutLe(&blob, rsa ? 16 : 12, material.size() * 8, 4);
  PutLe(&blob, blob.size() - 8, reinterpret_cast<uintptr_t>(material.data()), 8);
  return blob;
}

// SEQUENCE { INTEGER version, OID rsaEncryption, OID symmetric, OCTET STRING
// wrapped session key, OCTET STRING wrapped private key }.
Bytes RsaEnvelope(BYTE version, const Bytes& symmetric, const Bytes& wrappedSession,
                  const Bytes& wrappedKey) {
  return Tlv(0x30, {Tlv(0x02, {{version}}), kRsaEncryption, symmetric, Tlv(0x04, {wrappedSession}),
                    Tlv(0x04, {wrappedKey})});
}

// SM2EnvelopedKey: SEQUENCE { SEQUENCE { OID SM4-ECB }, SM2Cipher, BIT STRING
// 04||X||Y of `namedKey`, BIT STRING SM4-ECB(private scalar) }.
Bytes Sm2Envelope(EVP_PKEY* temporaryPublic, EVP_PKEY* authorityKey, EVP_PKEY* namedKey) {
  const Bytes sm4Key = Random(16);
  BIGNUM* d = nullptr;
  EVP_PKEY_get_bn_param(authorityKey, OSSL_PKEY_PARAM_PRIV_KEY, &d);
  Bytes scalar(32), point(65);
  BN_bn2binpad(d, scalar.data(), 32);
  BN_clear_free(d);
  size_t size = 0;
  EVP_PKEY_get_octet_string_param(namedKey, OSSL_PKEY_PARAM_PUB_KEY, point.data(), 65, &size);
  return Tlv(0x30, {Tlv(0x30, {kSm4Ecb}), PkeyEncrypt(temporaryPublic, sm4Key, 0),
                    Tlv(0x03, {{0}, point}),
                    Tlv(0x03, {{0}, Encipher(EVP_sm4_ecb(), sm4Key, scalar, false)})});
}

class TokenImportTest : public SoftHomesTest {
 protected:
  Prov prov_;

  // A new token container with a temporary exchange key, reopened the way
  // the control opens it for the import; the temporary key's public half.
  Pkey OpenToken(const char16_t* provider, ALG_ID exchangeAlg) {
    const std::u16string name = UniqueContainer("token");
    Key temporary;
    EXPECT_TRUE(prov_.Acquire(name.c_str(), provider, CRYPT_NEWKEYSET));
    EXPECT_TRUE(Plat().CryptGenKey(prov_.h, exchangeAlg, (exchangeAlg == AT_KEYEXCHANGE ? 1024 : 256) << 16,
                                  &temporary.h));
    EXPECT_TRUE(prov_.Acquire(name.c_str(), provider, CRYPT_VERIFYCONTEXT));
    return Stored();
  }
  Pkey Stored() {
    Key stored;
    EXPECT_TRUE(Plat().CryptGetUserKey(prov_.h, AT_KEYEXCHANGE, &stored.h));
    const Bytes blob = ExportKey(stored.h, PUBLICKEYBLOB);
    return blob.size() == 140 ? Sm2FromPublicBlob(blob) : RsaFromPublicBlob(blob);
  }
};

TEST_F(TokenImportTest, RsaTokenImportsTheEncryptedFormatAndRefusesBadEnvelopes) {
  Pkey temporary = OpenToken(kRsaToken, AT_KEYEXCHANGE);
  ASSERT_TRUE(temporary);
  Pkey authority(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024}));
  const Bytes session = Random(24);
  const Bytes wrappedSession = PkeyEncrypt(temporary.get(), session, RSA_PKCS1_PADDING);
  const Bytes plain = I2d<EVP_PKEY>(authority.get(), i2d_PrivateKey);
  const Bytes wrappedKey = Encipher(EVP_des_ede3_ecb(), session, plain, true);
  const Bytes unpadded =
      Encipher(EVP_des_ede3_ecb(), session, Bytes(plain.begin(), plain.end() - plain.size() % 8), false);
  const struct { const char* what; Bytes composed; } bad[] = {
      {"another symmetric algorithm", RsaEnvelope(1, kDesEde3Cbc, wrappedSession, wrappedKey)},
      {"version 2", RsaEnvelope(2, kEnvelopeDes3, wrappedSession, wrappedKey)},
      {"unpadded private key", RsaEnvelope(1, kEnvelopeDes3, wrappedSession, unpadded)},
      {"session key for another key",
       RsaEnvelope(1, kEnvelopeDes3, PkeyEncrypt(authority.get(), session, RSA_PKCS1_PADDING), wrappedKey)},
  };
  Key imported;
  for (const auto& c : bad) {
    SCOPED_TRACE(c.what);
    const Bytes blob = ReferenceBlob(CALG_RSA_KEYX, c.composed);
    EXPECT_FAILS_WITH(NTE_BAD_DATA, Plat().CryptImportKey(prov_.h, blob.data(), 32, 0, 0, &imported.h));
  }
  // A truncated reference blob, and one with a null address.
  const Bytes good = RsaEnvelope(1, kEnvelopeDes3, wrappedSession, wrappedKey);
  Bytes blob = ReferenceBlob(CALG_RSA_KEYX, good);
  EXPECT_FAILS_WITH(NTE_BAD_DATA, Plat().CryptImportKey(prov_.h, blob.data(), 24, 0, 0, &imported.h));
  PutLe(&blob, 24, 0, 8);
  EXPECT_FAILS_WITH(NTE_BAD_DATA, Plat().CryptImportKey(prov_.h, blob.data(), 32, 0, 0, &imported.h));
  EXPECT_EQ(1, EVP_PKEY_eq(temporary.get(), Stored().get()));  // nothing replaced

  for (size_t extra : {size_t{0}, size_t{8}}) {  // a 32-octet session key counts as its first 24
    SCOPED_TRACE(extra);
    Bytes longSession = session;
    longSession.resize(24 + extra, 0xA5);
    const Bytes composed = RsaEnvelope(
        1, kEnvelopeDes3, PkeyEncrypt(temporary.get(), longSession, RSA_PKCS1_PADDING),
        Encipher(EVP_des_ede3_ecb(), session, I2d<EVP_PKEY>(authority.get(), i2d_PrivateKey), true));
    blob = ReferenceBlob(CALG_RSA_KEYX, composed);
    Key key;
    ASSERT_TRUE(Plat().CryptImportKey(prov_.h, blob.data(), 32, 0, 0, &key.h)) << std::hex << LastError();
    EXPECT_EQ(static_cast<DWORD>(CALG_RSA_KEYX), KeyParam(key.h, KP_ALGID));
    // The token stores the imported key with its certificate, in one go.
    EXPECT_EQ(1, EVP_PKEY_eq(temporary.get(), Stored().get()));
    EXPECT_TRUE(Plat().CryptSetKeyParam(key.h, KP_CERTIFICATE, CertOfKey(authority.get()).data(), 0));
    EXPECT_EQ(1, EVP_PKEY_eq(authority.get(), Stored().get()));
    // Its private half opens what OpenSSL wraps for it.
    const Bytes secret = Random(16);
    Bytes data = Reversed(PkeyEncrypt(authority.get(), secret, RSA_PKCS1_PADDING));
    DWORD size = static_cast<DWORD>(data.size());
    ASSERT_TRUE(Plat().CryptDecrypt(key.h, 0, TRUE, 0, data.data(), &size));
    EXPECT_EQ(secret, Bytes(data.begin(), data.begin() + size));
    // The new key wraps the next envelope.
    temporary = Stored();
    authority.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024}));
  }
}

TEST_F(TokenImportTest, Sm2TokenImportsOnlyTheNamedKey) {
  Pkey temporary = OpenToken(kSm2Token, KL_CALG_SM2_KEYX);
  ASSERT_TRUE(temporary);
  Pkey authority(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
  Pkey other(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
  // Another key named than the one wrapped, and wrapped for another
  // temporary key (the SM2 decryption fails): refused, nothing replaced.
  for (const Bytes& envelope : {Sm2Envelope(temporary.get(), authority.get(), other.get()),
                                Sm2Envelope(other.get(), authority.get(), authority.get())}) {
    const Bytes blob = ReferenceBlob(KL_CALG_SM2_KEYX, envelope);
    Key key;
    EXPECT_FAILS_WITH(NTE_BAD_DATA, Plat().CryptImportKey(prov_.h, blob.data(), 24, 0, 0, &key.h));
  }
  EXPECT_EQ(1, EVP_PKEY_eq(temporary.get(), Stored().get()));
  const Bytes envelope = Sm2Envelope(temporary.get(), authority.get(), authority.get());
  const Bytes blob = ReferenceBlob(KL_CALG_SM2_KEYX, envelope);
  Key key;
  ASSERT_TRUE(Plat().CryptImportKey(prov_.h, blob.data(), 24, 0, 0, &key.h)) << std::hex << LastError();
  EXPECT_EQ(static_cast<DWORD>(KL_CALG_SM2_KEYX), KeyParam(key.h, KP_ALGID));
  EXPECT_EQ(1, EVP_PKEY_eq(temporary.get(), Stored().get()));  // until its certificate comes
  EXPECT_TRUE(Plat().CryptSetKeyParam(key.h, KP_CERTIFICATE, CertOfKey(authority.get()).data(), 0))
      << std::hex << LastError();
  EXPECT_EQ(1, EVP_PKEY_eq(authority.get(), Stored().get()));
}

}  // namespace
