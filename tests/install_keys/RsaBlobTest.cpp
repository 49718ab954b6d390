// The RSAPrivateKey made a PRIVATEKEYBLOB: the expected blob is written
// from OpenSSL's numbers of the same key, and a converted key is imported
// and signs what OpenSSL verifies with the original.
#include <gtest/gtest.h>

#include "install/RsaImport.h"
#include "install_keys/KeyTestSupport.h"

namespace {

enum class Change { kNone, kShortCoefficient, kShortPrivate, kShortPrime1, kLongExponent, kEightElements };

// 07 02 00 00, 00 A4 00 00 (CALG_RSA_KEYX), "RSA2", bits, e, then n p q
// dp dq qinv d little-endian in n/8 and n/16 octets.
Bytes ExpectedBlob(DWORD bits, const RsaNumbers& v) {
  Bytes blob = {0x07, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '2'};
  for (DWORD word : {bits, static_cast<DWORD>(BN_get_word(v[2].get()))})
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<BYTE>(word >> (8 * i)));
  for (size_t index : {1, 4, 5, 6, 7, 8, 3}) {
    Bytes le(index == 1 || index == 3 ? bits / 8 : bits / 16);
    BN_bn2lebinpad(v[index].get(), le.data(), static_cast<int>(le.size()));
    blob.insert(blob.end(), le.begin(), le.end());
  }
  return blob;
}

using RsaBlob = SoftHomesTest;

TEST_F(RsaBlob, ConversionTable) {
  const Pkey k1024 = GenerateRsa(1024, 65537), k1024e3 = GenerateRsa(1024, 3),
             k2048 = GenerateRsa(2048, 65537);
  const struct {
    const char* name;
    EVP_PKEY* key;
    Change change;
    DWORD configured;
    HRESULT expected;  // failures are traced at "getMicrosoftSoftPkcs1PrivateKeyBlob_RSA - step"
    const char* step = "PKCS1 RSA private key length";
  } rows[] = {
      {"1024, e 65537", k1024.get(), Change::kNone, 1024, S_OK},
      {"1024, e 3 written as 3", k1024e3.get(), Change::kNone, 1024, S_OK},
      {"2048, e 65537", k2048.get(), Change::kNone, 2048, S_OK},
      // A coefficient one octet short (63 of 64, 127 of 128): high octet 0.
      {"1024, coefficient of 63 octets", k1024.get(), Change::kShortCoefficient, 1024, S_OK},
      {"2048, coefficient of 127 octets", k2048.get(), Change::kShortCoefficient, 2048, S_OK},
      // d of 127 and dp of 62 octets, as about one key in a hundred has them.
      {"1024, shorter d and dp", k1024.get(), Change::kShortPrivate, 1024, S_OK},
      {"prime1 of 63 octets", k1024.get(), Change::kShortPrime1, 1024, KL_E_IMPORT_ENCRYPT_CERT},
      // e = 01 00 00 00 01 (2^32 + 1) does not fit the blob's 32 bits.
      {"exponent of 33 bits", k1024.get(), Change::kLongExponent, 1024, KL_E_IMPORT_ENCRYPT_CERT,
       "PKCS1 RSA public exponent"},
      {"2048, 1024 configured", k2048.get(), Change::kNone, 1024, KL_E_IMPORT_ENCRYPT_CERT},
      {"eight elements", k1024.get(), Change::kEightElements, 1024, KL_E_IMPORT_ENCRYPT_CERT,
       "getMicrosoftSoftPkcs1PrivateKeyBlob_RSA-DecodePrivateKey"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RsaNumbers v = NumbersOf(row.key);
    const int bits = EVP_PKEY_get_bits(row.key), shortBits = bits / 2 - 8;
    if (row.change == Change::kShortCoefficient) BN_mask_bits(v[8].get(), shortBits);
    if (row.change == Change::kShortCoefficient) BN_set_bit(v[8].get(), shortBits - 1);
    if (row.change == Change::kShortPrivate) BN_mask_bits(v[3].get(), bits - 8);
    if (row.change == Change::kShortPrivate) BN_mask_bits(v[6].get(), bits / 2 - 16);
    if (row.change == Change::kShortPrime1) BN_mask_bits(v[4].get(), 504);
    if (row.change == Change::kShortPrime1) BN_set_bit(v[4].get(), 503);
    if (row.change == Change::kLongExponent) BN_set_word(v[2].get(), 0x100000001ul);
    const Bytes der = RsaPrivateKeyDer(v, row.change == Change::kEightElements ? 8 : 9);
    BYTE* out = nullptr;
    DWORD length = 0;
    ScopedTraceRecorder consumer(0xF);
    EXPECT_EQ(row.expected, getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(
                                row.configured, der.data(), static_cast<DWORD>(der.size()), &out,
                                &length));
    const Bytes blob(out, out + length);
    FreeSecret(out, length);
    EXPECT_TRUE(HasStep(std::string("getMicrosoftSoftPkcs1PrivateKeyBlob_RSA - ") + row.step, row.expected));
    if (row.expected != S_OK) continue;
    EXPECT_EQ(ToHex(ExpectedBlob(row.configured, v)), ToHex(blob));
    if (row.change != Change::kNone) continue;
    Prov prov;
    Key key;
    ASSERT_TRUE(prov.Acquire(UniqueContainer("blob").c_str(), kEnhanced, CRYPT_NEWKEYSET));
    ASSERT_TRUE(Plat().CryptImportKey(prov.h, blob.data(), length, 0, 0, &key.h));
    const Bytes data = Random(40);
    EXPECT_TRUE(VerifyRsa(row.key, EVP_sha1(), data, SignData(prov.h, CALG_SHA1, data, AT_KEYEXCHANGE)));
  }
}

}  // namespace
