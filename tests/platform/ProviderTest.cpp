// Providers, containers, key pairs, hashes and session keys through the
// platform table (SIMPLEBLOB import through an RSA key whose exponents are
// all 1, and the round trip of a 3DES key).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/CryptCalls.h"
#include "support/TestSupport.h"

namespace {

using ProviderTest = SoftHomesTest;

TEST_F(ProviderTest, ContainerLifeCycleOfEachProvider) {
  const struct { const char16_t* provider; DWORD deleteFlags; ALG_ID genAlg; DWORD bits; } cases[] = {
      {kEnhanced, CRYPT_DELETEKEYSET, AT_KEYEXCHANGE, 1024},
      {kRsaToken, CRYPT_DELETEKEYSET, AT_KEYEXCHANGE, 1024},
      {kSm2Token, KL_DELETEKEYSET_SM2, KL_CALG_SM2_KEYX, 0},
  };
  for (const auto& c : cases) {
    if (TokenAbsentHere(c.provider)) continue;
    SCOPED_TRACE(Narrow(c.provider));
    const std::u16string name = UniqueContainer("life");
    Prov prov;
    EXPECT_FAILS_WITH(NTE_BAD_KEYSET, prov.Acquire(name.c_str(), c.provider, 0));
    ASSERT_TRUE(prov.Acquire(name.c_str(), c.provider, CRYPT_NEWKEYSET));
    Key key;
    ASSERT_TRUE(Plat().CryptGenKey(prov.h, c.genAlg, c.bits << 16, &key.h)) << std::hex << LastError();
    const Bytes original = ExportKey(key.h, PUBLICKEYBLOB);
    ASSERT_FALSE(original.empty());
    if (WineDiffers("a generated key pair is stored when its provider handle is released, not at once")) {
      Plat().CryptDestroyKey(key.h), key.h = 0;
      Plat().CryptReleaseContext(prov.h, 0), prov.h = 0;
    }

    Prov again;
    ASSERT_TRUE(again.Acquire(name.c_str(), c.provider, 0));
    Key reopened;
    ASSERT_TRUE(Plat().CryptGetUserKey(again.h, AT_KEYEXCHANGE, &reopened.h));
    EXPECT_EQ(original, ExportKey(reopened.h, PUBLICKEYBLOB));
    Key none;
    EXPECT_FAILS_WITH(NTE_NO_KEY, Plat().CryptGetUserKey(again.h, AT_SIGNATURE, &none.h));

    HCRYPTPROV deleted = 1;
    ASSERT_TRUE(Plat().CryptAcquireContextW(&deleted, name.c_str(), c.provider, TypeOf(c.provider),
                                            c.deleteFlags));
    EXPECT_EQ(0u, deleted);
    EXPECT_FAILS_WITH(NTE_BAD_KEYSET, prov.Acquire(name.c_str(), c.provider, 0));
  }
}

TEST_F(ProviderTest, SoftwareProvidersShareOneNamespaceTokensHaveTheirOwn) {
  const std::u16string a = UniqueContainer("shared-a"), b = UniqueContainer("shared-b");
  Prov pa, pb, enhanced, token;
  ASSERT_TRUE(pa.Acquire(a.c_str(), kBase, CRYPT_NEWKEYSET));
  ASSERT_TRUE(pb.Acquire(b.c_str(), kBase, CRYPT_NEWKEYSET));
  EXPECT_TRUE(enhanced.Acquire(a.c_str(), kEnhanced, 0));
  if (!TokenAbsentHere(kRsaToken)) EXPECT_FAILS_WITH(NTE_BAD_KEYSET, token.Acquire(a.c_str(), kRsaToken, 0));
  // Another software provider enumerates them: CRYPT_FIRST, then CRYPT_NEXT.
  ASSERT_TRUE(enhanced.Acquire(nullptr, kEnhanced, CRYPT_VERIFYCONTEXT));
  char provName[64];
  DWORD size = sizeof provName;
  ASSERT_TRUE(Plat().CryptGetProvParam(enhanced.h, PP_NAME, reinterpret_cast<BYTE*>(provName), &size, 0));
  EXPECT_STREQ("Microsoft Enhanced Cryptographic Provider v1.0", provName);
  EXPECT_EQ((std::vector<std::string>{Narrow(a.c_str()), Narrow(b.c_str())}), ContainerNames(enhanced.h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), LastError());
}

// Key lengths: (bits << 16), 0 meaning the provider's default.
TEST_F(ProviderTest, KeyLengthLimits) {
  const struct {
    const char16_t* provider;
    ALG_ID alg;
    DWORD bits, expectBits;  // 0: refused
  } cases[] = {
      {kBase, AT_KEYEXCHANGE, 0, 512},       {kBase, AT_KEYEXCHANGE, 1032, 0},
      {kEnhanced, AT_KEYEXCHANGE, 0, 1024},  {kRsaToken, AT_KEYEXCHANGE, 1032, 1032},
      {kRsaToken, AT_KEYEXCHANGE, 4100, 0},  {kSm2Token, KL_CALG_SM2_SIGN, 1024, 256},
  };
  for (const auto& c : cases) {
    if (TokenAbsentHere(c.provider)) continue;
    SCOPED_TRACE(Narrow(c.provider) + " " + std::to_string(c.bits));
    Prov prov;
    Key key;
    const bool made = NewContainerKey(&prov, &key, "len", c.provider, c.alg, c.bits << 16);
    EXPECT_EQ(c.expectBits != 0, made);
    EXPECT_EQ(made ? c.expectBits : ~0u, KeyParam(key.h, KP_KEYLEN));
  }
}

TEST_F(ProviderTest, ExportableAndNonExportableKeys) {
  const struct { const char16_t* provider; DWORD flags; bool exportable; } cases[] = {
      {kEnhanced, CRYPT_EXPORTABLE, true},
      {kEnhanced, 0, false},
      {kRsaToken, CRYPT_EXPORTABLE, false},  // a token never lets its keys out
  };
  for (const auto& c : cases) {
    if (TokenAbsentHere(c.provider)) continue;
    SCOPED_TRACE(Narrow(c.provider));
    Prov prov;
    Key key;
    ASSERT_TRUE(NewContainerKey(&prov, &key, "export", c.provider, AT_SIGNATURE, (1024 << 16) | c.flags));
    EXPECT_EQ(static_cast<DWORD>(CALG_RSA_SIGN), KeyParam(key.h, KP_ALGID));
    DWORD size = 0;
    if (!c.exportable) {
      EXPECT_FAILS_WITH(NTE_BAD_KEY_STATE,
                        Plat().CryptExportKey(key.h, 0, PRIVATEKEYBLOB, 0, nullptr, &size));
      continue;
    }
    const Bytes blob = ExportKey(key.h, PRIVATEKEYBLOB);
    // 20 header octets and 9n/16 octets of numbers; "RSA2", 1024 bits.
    ASSERT_EQ(20u + 9 * 1024 / 16, blob.size());
    EXPECT_EQ(0, std::memcmp(&blob[8], "RSA2", 4));
    // Reimported (that it signs: SoftKeyLength), it is not exportable.
    Prov target;
    ASSERT_TRUE(target.Acquire(UniqueContainer("import").c_str(), kStrong, CRYPT_NEWKEYSET));
    Key imported;
    ASSERT_TRUE(Plat().CryptImportKey(target.h, blob.data(), static_cast<DWORD>(blob.size()), 0, 0,
                                      &imported.h));
    EXPECT_FAILS_WITH(NTE_BAD_KEY_STATE,
                      Plat().CryptExportKey(imported.h, 0, PRIVATEKEYBLOB, 0, nullptr, &size));
  }
}

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
    Plat().CryptDestroyHash(hash);
    // Nor SM3 nor SHA-256 in the enhanced provider (SHA-256: the AES one).
    for (ALG_ID other : {CALG_SM3, CALG_SHA_256})
      if (r.alg == CALG_SHA1) EXPECT_FAILS_WITH(NTE_BAD_ALGID, Plat().CryptCreateHash(prov.h, other, 0, 0, &hash));
  }
}

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
Bytes PlainSessionBlob(ALG_ID alg, const Bytes& key, size_t modulus) {
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

using SessionKeyTest = SoftHomesTest;

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

}  // namespace
