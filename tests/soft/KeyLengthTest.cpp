// RSA keys whose length is a multiple of 8 but not of 16 (halves of an odd
// number of octets) survive storage and export: the key read back from the
// home and the key imported from its PRIVATEKEYBLOB both sign, and OpenSSL
// verifies the signatures with the public key exported at generation.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Platform.h"
#include "base/Status.h"
#include "support/AgentFixture.h"

namespace {

Bytes Export(HCRYPTKEY key, DWORD type) {
  Bytes blob(2048);
  DWORD size = static_cast<DWORD>(blob.size());
  blob.resize(Plat().CryptExportKey(key, 0, type, 0, blob.data(), &size) ? size : 0);
  return blob;
}

// SHA-256 signature by the signature key of `prov`, most significant octet first.
Bytes Sign(HCRYPTPROV prov, const Bytes& data) {
  HCRYPTHASH hash = 0;
  Bytes sig(512);
  DWORD size = static_cast<DWORD>(sig.size());
  const bool ok = Plat().CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
                  Plat().CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0) &&
                  Plat().CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &size);
  Plat().CryptDestroyHash(hash);
  sig.resize(ok ? size : 0);
  std::reverse(sig.begin(), sig.end());
  return sig;
}

// OpenSSL's check of `sig` with the modulus and exponent of a PUBLICKEYBLOB
// (header 8 octets, "RSA1", bits, exponent, modulus least significant first:
// the native order OSSL_PARAM numbers take on the little-endian hosts this
// runs on).
bool Verify(const Bytes& pub, const Bytes& data, const Bytes& sig) {
  if (pub.size() < 20) return false;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_BN("n", const_cast<BYTE*>(pub.data() + 20), pub.size() - 20),
      OSSL_PARAM_construct_BN("e", const_cast<BYTE*>(pub.data() + 16), 4), OSSL_PARAM_construct_end()};
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  const bool ok = EVP_PKEY_fromdata_init(ctx) == 1 && EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) == 1 &&
                  EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                  EVP_DigestVerify(md, sig.data(), sig.size(), data.data(), data.size()) == 1;
  EVP_MD_CTX_free(md);
  EVP_PKEY_free(key);
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

TEST(SoftKeyLength, OddHalfLengthsStoreExportAndImport) {
  ScopedSoftHomes homes;
  constexpr const char16_t* kToken = u"Keyloom RSA Token Provider";
  constexpr const char16_t* kEnhanced = u"Microsoft Enhanced Cryptographic Provider v1.0";
  const struct { const char16_t* provider; DWORD bits; } kRows[] = {
      {kToken, 1032}, {kToken, 2040}, {kEnhanced, 1032}, {kEnhanced, 1048}, {kEnhanced, 2040}, {kEnhanced, 2056}};
  const Bytes data = {'k', 'e', 'y', 'l', 'o', 'o', 'm'};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.bits);
    const std::u16string name = u"odd" + std::u16string(1, char16_t(u'a' + (&row - kRows)));
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    ASSERT_TRUE(Plat().CryptAcquireContextW(&prov, name.c_str(), row.provider, PROV_RSA_FULL,
                                            CRYPT_NEWKEYSET));
    ASSERT_TRUE(Plat().CryptGenKey(prov, AT_SIGNATURE, row.bits << 16 | CRYPT_EXPORTABLE, &key));
    const Bytes pub = Export(key, PUBLICKEYBLOB), priv = Export(key, PRIVATEKEYBLOB);
    Plat().CryptDestroyKey(key);
    Plat().CryptReleaseContext(prov, 0);
    ASSERT_EQ(20 + row.bits / 8, pub.size());
    EXPECT_EQ(row.provider == kToken, priv.empty());  // a token's key never leaves it

    // The key as the home gives it back, then the key imported from its
    // private blob.
    for (const bool import : {false, true}) {
      if (import && priv.empty()) continue;
      ASSERT_TRUE(Plat().CryptAcquireContextW(&prov, name.c_str(), row.provider, PROV_RSA_FULL, 0));
      if (import) {
        ASSERT_TRUE(Plat().CryptImportKey(prov, priv.data(), static_cast<DWORD>(priv.size()), 0, 0, &key) &&
                    Plat().CryptDestroyKey(key));
      }
      EXPECT_TRUE(Verify(pub, data, Sign(prov, data))) << (import ? "imported" : "stored");
      Plat().CryptReleaseContext(prov, 0);
    }
  }
}

// A length is cut to 16 bits where it goes into the key-generation flags:
// every provider refuses one that does not fit.
TEST(SoftKeyLength, LengthsBeyondSixteenBitsAreRefused) {
  const struct { const char16_t* provider; LONG bits; HRESULT hr; } kRows[] = {
      {u"Keyloom RSA Token Provider", 66560, KL_E_KEY_LENGTH},  // 0x10400: 1024 after the cut
      {u"Keyloom SM2 Token Provider", 0x10000, KL_E_KEY_LENGTH},
      {u"Keyloom RSA Token Provider", -1024, KL_E_KEY_LENGTH},
      {u"Microsoft Enhanced Cryptographic Provider v1.0", 66560, KL_E_KEY_LENGTH},
      {u"Keyloom RSA Token Provider", 0xFFFF, S_OK},
      {u"Keyloom RSA Token Provider", 2048, S_OK},
  };
  AgentRef agent;
  for (const auto& row : kRows) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr name(row.provider);
    EXPECT_EQ(row.hr, agent->ZENQ_SetCSPInfo(row.bits, name, &ok)) << row.bits;
  }
}

}  // namespace
