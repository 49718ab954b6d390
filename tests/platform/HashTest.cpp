// Hashes through the platform table: known digests, and the failures of a
// hash used up, destroyed, or of an algorithm the provider lacks.
#include <gtest/gtest.h>

#include "support/CryptCalls.h"

namespace {

using HashTest = SoftHomesTest;

TEST_F(HashTest, DigestsAndTheirFailures) {
  const struct {
    const char16_t* provider;
    ALG_ID alg;
    const char* abc;  // the digest of "abc", upper-case hexadecimal
  } rows[] = {
      {kEnhanced, CALG_SHA1, "A9993E364706816ABA3E25717850C26C9CD0D89D"},  // FIPS 180
      {kSm2Token, CALG_SM3, "66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0"},  // GB/T 32905
  };
  for (const auto& r : rows) {
    if (TokenAbsentHere(r.provider)) continue;
    Prov prov;
    ASSERT_TRUE(prov.Acquire(nullptr, r.provider, CRYPT_VERIFYCONTEXT));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(Plat().CryptCreateHash(prov.h, r.alg, 0, 0, &hash));
    const BYTE abc[] = {'a', 'b', 'c'};
    ASSERT_TRUE(Plat().CryptHashData(hash, abc, 3, 0));
    BYTE value[64];
    DWORD size = sizeof value;
    ASSERT_TRUE(Plat().CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0));
    EXPECT_EQ(r.abc, ToHex(value, size, ""));
    EXPECT_FAILS_WITH(NTE_BAD_HASH_STATE, Plat().CryptHashData(hash, abc, 3, 0));
    // No key of that spec in a fresh verification context.
    EXPECT_FAILS_WITH(NTE_NO_KEY, Plat().CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &size));
    EXPECT_TRUE(Plat().CryptDestroyHash(hash));
    const bool wine = WineDiffers("CryptDestroyHash of a destroyed hash: ERROR_INVALID_PARAMETER");
    EXPECT_FAILS_WITH(wine ? ERROR_INVALID_PARAMETER : NTE_BAD_HASH, Plat().CryptDestroyHash(hash));
    // Nor SM3 nor SHA-256 in the enhanced provider (SHA-256: the AES one).
    for (ALG_ID other : {CALG_SM3, CALG_SHA_256})
      if (r.alg == CALG_SHA1) EXPECT_FAILS_WITH(NTE_BAD_ALGID, Plat().CryptCreateHash(prov.h, other, 0, 0, &hash));
  }
}

}  // namespace
