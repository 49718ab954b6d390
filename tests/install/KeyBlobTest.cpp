// The key's hand-over to the provider. Plain format: the RSAPrivateKey made a
// PRIVATEKEYBLOB, checked against OpenSSL's numbers of the key. Encrypted
// format: the reference blobs a replaced CryptImportKey receives. The session
// key opened with the temporary key (OpenSSL wraps it).
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "encoding/Buffer.h"
#include "install/InstallTestSupport.h"
#include "install/RsaImport.h"
#include "install/SessionKey.h"
#include "install/Sm2Import.h"
#include "support/FaultPlatform.h"
#include "support/OpenSslDer.h"

namespace {

using Bignum = std::unique_ptr<BIGNUM, OpenSslFree<BIGNUM, BN_free>>;

// version 0, n, e, d, p, q, dp, dq, qinv: an RSAPrivateKey's order.
std::vector<Bignum> NumbersOf(EVP_PKEY* key) {
  std::vector<Bignum> v;
  v.emplace_back(BN_new());
  for (const char* name : {"n", "e", "d", "rsa-factor1", "rsa-factor2", "rsa-exponent1",
                           "rsa-exponent2", "rsa-coefficient1"}) {
    BIGNUM* value = nullptr;
    EVP_PKEY_get_bn_param(key, name, &value);
    v.emplace_back(value);
  }
  return v;
}

// SEQUENCE of the first `count` numbers as INTEGERs, written by hand.
Bytes RsaPrivateKeyDer(const std::vector<Bignum>& v, size_t count) {
  std::vector<Bytes> parts;
  for (size_t i = 0; i < count; ++i) {
    Bytes magnitude(static_cast<size_t>(BN_num_bytes(v[i].get())));
    BN_bn2bin(v[i].get(), magnitude.data());
    if (magnitude.empty() || magnitude[0] & 0x80) magnitude.insert(magnitude.begin(), 0x00);
    parts.push_back(Tlv(0x02, {magnitude}));
  }
  return Tlv(0x30, parts);
}

// 07 02 00 00, 00 A4 00 00 (CALG_RSA_KEYX), "RSA2", bits, e, then n p q
// dp dq qinv d little-endian in n/8 and n/16 octets.
Bytes ExpectedBlob(DWORD bits, const std::vector<Bignum>& v) {
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

TEST(KeyBlob, PlainFormatConversionTable) {
  const Pkey k1024(EVP_RSA_gen(1024)), k2048(EVP_RSA_gen(2048));
  // cut: numbers made this many octets shorter; exponent: replaces e unless 0;
  // count: INTEGERs written; step: recorded with `hr`, also on success.
  const struct { EVP_PKEY* key; std::vector<std::pair<size_t, int>> cut; BN_ULONG exponent; size_t count; HRESULT hr;
                 const char* step = "PKCS1 RSA private key length"; } rows[] = {
      {k1024.get(), {}, 0, 9, S_OK},
      // Coefficient of 63 (127) octets; d of 127 and dp of 62, as about one
      // key in a hundred has them: zero-extended. Prime1 of 63 is refused.
      {k2048.get(), {{8, 1}}, 0, 9, S_OK},
      {k1024.get(), {{3, 1}, {6, 2}}, 0, 9, S_OK},
      {k1024.get(), {{4, 1}}, 0, 9, KL_E_IMPORT_ENCRYPT_CERT},
      // e = 01 00 00 00 01 does not fit the blob's 32 bits.
      {k1024.get(), {}, 0x100000001ul, 9, KL_E_IMPORT_ENCRYPT_CERT, "PKCS1 RSA public exponent"},
      {k1024.get(), {}, 0, 8, KL_E_IMPORT_ENCRYPT_CERT,
       "getMicrosoftSoftPkcs1PrivateKeyBlob_RSA-DecodePrivateKey"},
  };
  for (const auto& row : rows) {
    std::vector<Bignum> v = NumbersOf(row.key);
    const int bits = EVP_PKEY_get_bits(row.key);
    SCOPED_TRACE(&row - rows);  // the row's index
    for (const auto& [index, octets] : row.cut) {  // keep the top bit: exactly that length
      const int length = (index == 3 ? bits : bits / 2) - 8 * octets;
      BN_mask_bits(v[index].get(), length);
      BN_set_bit(v[index].get(), length - 1);
    }
    if (row.exponent) BN_set_word(v[2].get(), row.exponent);
    const Bytes der = RsaPrivateKeyDer(v, row.count);
    BYTE* out = nullptr;
    DWORD length = 0;
    ScopedTraceRecorder consumer(0xF);
    EXPECT_EQ(row.hr, getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(
                          bits, der.data(), static_cast<DWORD>(der.size()), &out, &length));
    const Bytes blob(out, out + length);
    FreeSecret(out, length);
    EXPECT_TRUE(HasStep("getMicrosoftSoftPkcs1PrivateKeyBlob_RSA - " + std::string(row.step), row.hr));
    EXPECT_EQ(ToHex(row.hr == S_OK ? ExpectedBlob(bits, v) : Bytes()), ToHex(blob));
  }
}

// What the replaced CryptImportKey saw: the blob and the octets its
// address pointed at while the call ran.
Bytes g_blob, g_referenced;

BOOL CaptureImport(HCRYPTPROV, const BYTE* data, DWORD length, HCRYPTKEY, DWORD, HCRYPTKEY* key) {
  g_blob.assign(data, data + length);
  uint64_t address = 0;
  uint32_t bits = 0;
  std::memcpy(&address, data + length - 8, 8);
  std::memcpy(&bits, data + (length == 32 ? 16 : 12), 4);
  const BYTE* at = reinterpret_cast<const BYTE*>(static_cast<uintptr_t>(address));
  g_referenced.assign(at, at + bits / 8);
  *key = 0x5EED;
  return TRUE;
}
BOOL AcceptKeyParam(HCRYPTKEY, DWORD, const BYTE*, DWORD) { return TRUE; }
BOOL AcceptDestroy(HCRYPTKEY) { return TRUE; }

TEST(KeyBlob, ReferenceBlobsAsTheProviderReceivesThem) {
  Bytes session(128), key(200);
  std::iota(session.begin(), session.end(), BYTE{0x00});  // 00 01 .. 7F
  std::iota(key.begin(), key.end(), BYTE{0x10});          // 10 11 .. D7
  const BYTE cert[] = {0x30, 0x00};
  const struct { bool rsa; Bytes header; } rows[] = {  // the header: the blob without its 8-octet address
      // 07 02 01 00, A400 twice, 2048 bits, the composed size in bits
      // (2904 = 0xB58 for 363 octets), 0.
      {true, {0x07, 0x02, 0x01, 0x00, 0x00, 0xA4, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00,
              0x00, 0x08, 0x00, 0x00, 0x58, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
      // 07 02 01 00, BE00 twice, 1600 bits (0x640) for the 200-octet key.
      {false, {0x07, 0x02, 0x01, 0x00, 0x00, 0xBE, 0x00, 0x00, 0x00, 0xBE, 0x00, 0x00,
               0x40, 0x06, 0x00, 0x00}},
  };
  // SEQUENCE { INTEGER 1, OID 1.2.840.113549.1.1.1, OID 1.3.6.1.4.1.4929.1.7,
  // OCTET STRING session, OCTET STRING key }: 30 82 01 67 and 359 octets.
  const std::vector<Bytes> composed = {
      {0x02, 0x01, 0x01},
      {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01},
      {0x06, 0x09, 0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07},
      Tlv(0x04, {session}),  // 04 81 80 ..
      Tlv(0x04, {key}),      // 04 81 C8 ..
  };
  for (const auto& row : rows) {
    FaultPlatform platform;
    platform.table.CryptImportKey = &CaptureImport;
    platform.table.CryptSetKeyParam = &AcceptKeyParam;
    platform.table.CryptDestroyKey = &AcceptDestroy;
    g_blob.clear();
    const HRESULT hr = row.rsa ? ImportEncryptCertEx_RSA(0x1234, 2048, cert, 2, session.data(), 128, key.data(), 200,
                                                         CRYPT_EXPORTABLE)
                               : ImportEncryptCertEx_SM2(0x1234, cert, 2, key.data(), 200, CRYPT_EXPORTABLE);
    ASSERT_EQ(S_OK, hr);
    ASSERT_EQ(row.header.size() + 8, g_blob.size());
    EXPECT_EQ(ToHex(row.header), ToHex(Bytes(g_blob.begin(), g_blob.end() - 8)));
    EXPECT_EQ(ToHex(row.rsa ? Tlv(0x30, composed) : key), ToHex(g_referenced));
    EXPECT_TRUE(!row.rsa || DerChildren(g_referenced) == composed);  // as OpenSSL cuts it
    EXPECT_EQ(CRYPT_EXPORTABLE, platform.CallsOf("CryptImportKey").at(0).Number("flags"));
    EXPECT_EQ(KP_CERTIFICATE, platform.CallsOf("CryptSetKeyParam").at(0).Number("param"));
  }
}

using SessionKey = SoftHomesTest;

TEST_F(SessionKey, UnwrappedWithTheTemporaryKey) {
  std::u16string container;
  const Pkey temporary = KeyInNewContainer(&container, AT_KEYEXCHANGE);
  ASSERT_NE(nullptr, temporary);
  const struct { size_t plain, expected; } rows[] = {{24, 24}, {32, 24}, {16, 16}};  // `expected` come back
  for (const auto& row : rows) {
    Bytes plain(row.plain);
    std::iota(plain.begin(), plain.end(), BYTE{0xC0});  // C0 C1 C2 ..
    Bytes wrapped = PkeyEncrypt(temporary.get(), plain, RSA_PKCS1_PADDING);  // big-endian
    HCRYPTPROV opened = 0;
    BYTE* key = nullptr;
    DWORD length = 0;
    EXPECT_EQ(S_OK, DecryptSessionKeywithTempKey(kEnhanced, &opened, container, wrapped.data(),
                                                 128, &key, &length));
    EXPECT_EQ(ToHex(plain.data(), row.expected), ToHex(key, length));
    FreeSecret(key, length);
    if (opened) Plat().CryptReleaseContext(opened, 0);
  }
}

}  // namespace
