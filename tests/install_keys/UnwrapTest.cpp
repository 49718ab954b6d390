// The plain envelope opened inside the control: session keys that OpenSSL
// wrapped for the temporary key, private keys that OpenSSL enciphered with
// them, and the exponent-one key's container.
#include <gtest/gtest.h>

#include <numeric>

#include "install/SessionKey.h"
#include "install_keys/KeyTestSupport.h"
#include "support/FaultPlatform.h"

namespace {

using Unwrap = SoftHomesTest;

Bytes Counting(size_t size, BYTE first) {
  Bytes b(size);
  std::iota(b.begin(), b.end(), first);
  return b;
}

TEST_F(Unwrap, SessionKeyWrappedForTheTemporaryKey) {
  Prov prov;
  Key temporary;
  const std::u16string container = UniqueContainer("temp");
  ASSERT_TRUE(prov.Acquire(container.c_str(), kEnhanced, CRYPT_NEWKEYSET));
  ASSERT_TRUE(Plat().CryptGenKey(prov.h, AT_KEYEXCHANGE, 1024u << 16, &temporary.h));
  Pkey publicKey = RsaFromPublicBlob(ExportKey(temporary.h, PUBLICKEYBLOB));
  ASSERT_NE(nullptr, publicKey);
  const struct {
    size_t plain;
    size_t expected;  // first octets of the plain key handed out
  } rows[] = {
      {24, 24},  // a 3DES key
      {32, 24},  // 32 octets: the first 24 are the key
      {16, 16},
  };
  for (const auto& row : rows) {
    const Bytes plain = Counting(row.plain, 0xC0);  // C0 C1 C2 ...
    Bytes wrapped = PkeyEncrypt(publicKey.get(), plain, RSA_PKCS1_PADDING);  // big-endian
    ASSERT_EQ(128u, wrapped.size());
    HCRYPTPROV opened = 0;
    BYTE* key = nullptr;
    DWORD length = 0;
    EXPECT_EQ(S_OK, DecryptSessionKeywithTempKey(kEnhanced, &opened, container, wrapped.data(),
                                                 128, &key, &length));
    EXPECT_NE(0u, opened);
    EXPECT_EQ(ToHex(Bytes(plain.begin(), plain.begin() + static_cast<long>(row.expected))),
              ToHex(key, length));
    FreeSecret(key, length);
    if (opened) Plat().CryptReleaseContext(opened, 0);
  }
}

TEST_F(Unwrap, ExponentOneContainerIsCreatedOnceAndReused) {
  for (DWORD expectedOpens : {2u, 1u}) {  // missing: 0 then CRYPT_NEWKEYSET; then 0 alone
    FaultPlatform platform;
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CreatePrivateExponentOneKey(kExponentOneProvider, PROV_RSA_FULL,
                                            kExponentOneContainer, &prov, &key));
    const auto opens = platform.CallsOf("CryptAcquireContextW");
    ASSERT_EQ(expectedOpens, opens.size());
    EXPECT_EQ("SGKEYCONTAINER", opens[0].Arg("container"));
    EXPECT_EQ(expectedOpens == 2 ? CRYPT_NEWKEYSET : 0u, opens.back().Number("flags"));
    // RSA with exponent 1: the public blob carries 1, and a block comes
    // back unchanged from the private operation OpenSSL cannot tell apart.
    const Bytes blob = ExportKey(key, PUBLICKEYBLOB);
    ASSERT_GE(blob.size(), 20u);
    EXPECT_EQ("01 00 00 00", ToHex(Bytes(blob.begin() + 16, blob.begin() + 20)));
    Plat().CryptDestroyKey(key);
    Plat().CryptReleaseContext(prov, 0);
  }
}

TEST_F(Unwrap, PrivateKeyDecryptedWithTheSessionKey) {
  const Bytes session = Counting(24, 0x01);  // 01 02 .. 18
  const Bytes plain = Counting(45, 0x30);    // 30 31 .. 5C, not a block multiple
  Bytes badPadding = Encipher(EVP_des_ede3_ecb(), session, Counting(48, 0x30), false);
  const struct {
    const char* name;
    ALG_ID algorithm;
    Bytes key;
    Bytes encrypted;
    HRESULT expected;
    const char* step;
  } rows[] = {
      {"3DES-ECB, PKCS#5", CALG_3DES, session, Encipher(EVP_des_ede3_ecb(), session, plain, true),
       S_OK, "DecryptPrivateKeywithSessionKey - CryptDecrypt"},
      // The last block ends in 30 .. 5F, not a padding.
      {"wrong padding", CALG_3DES, session, badPadding, NTE_BAD_DATA,
       "DecryptPrivateKeywithSessionKey - CryptDecrypt"},
      {"key longer than 3DES's 192 bits", CALG_3DES, Counting(32, 1), badPadding,
       KL_E_IMPORT_ENCRYPT_CERT, "DecryptPrivateKeywithSessionKey - ImportPlainSessionBlob"},
      {"algorithm the provider lacks (0x660E, AES-128)", 0x660E, Counting(16, 1), badPadding,
       KL_E_IMPORT_ENCRYPT_CERT, "DecryptPrivateKeywithSessionKey - ImportPlainSessionBlob"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ScopedTraceRecorder consumer(0xF);
    BYTE* out = nullptr;
    DWORD length = 0;
    EXPECT_EQ(row.expected, DecryptPrivateKeywithSessionKey(
                                row.algorithm, row.key.data(), static_cast<DWORD>(row.key.size()),
                                row.encrypted.data(), static_cast<DWORD>(row.encrypted.size()),
                                &out, &length));
    EXPECT_TRUE(HasStep(row.step, row.expected));
    if (row.expected == S_OK) {
      EXPECT_EQ(ToHex(plain), ToHex(out, length));
    }
    FreeSecret(out, length);
  }
}

}  // namespace
