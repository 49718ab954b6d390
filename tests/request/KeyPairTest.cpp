// Key pair creation over the soft providers, recorded by the interceptor
// (containers and flags, what CryptGenKey receives, what is exported and
// cleaned up after a failure).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <set>
#include <string>
#include <vector>

#include "encoding/Buffer.h"
#include "request/KeyPair.h"
#include "support/DerTestSupport.h"
#include "support/FaultPlatform.h"
#include "support/TestSupport.h"

namespace {

struct Result {
  HRESULT status;
  HCRYPTPROV provider = 0;
  std::u16string container;
  BYTE* key = nullptr;
  DWORD keyLength = 0;
  ~Result() {
    FreeBuffer(key);
    if (provider) Plat().CryptReleaseContext(provider, 0);
  }
};

void Create(Result* r, DWORD bits, bool rsa, DWORD spec, bool fresh, DWORD flags) {
  const KeyPairSettings settings{.providerName = rsa ? kEnhanced : kSm2Token,
                                 .algorithm = rsa ? KeyAlgorithm::Rsa : KeyAlgorithm::Sm2,
                                 .keySpec = spec,
                                 .keyLength = bits,
                                 .generationFlags = flags,
                                 .newContainer = fresh};
  r->status = CreatePublicKey(settings, &r->provider, &r->container, &r->key, &r->keyLength);
}

// Opens container `name` of the provider with `flags` and releases it again;
// whether that succeeded.
bool OpenContainer(const std::string& name, bool rsa, DWORD flags = 0) {
  HCRYPTPROV prov = 0;
  const std::u16string wide(name.begin(), name.end());
  if (!DefaultPlatform().CryptAcquireContextW(&prov, wide.c_str(), rsa ? kEnhanced : kSm2Token,
                                              PROV_RSA_FULL, flags))
    return false;
  return DefaultPlatform().CryptReleaseContext(prov, 0);
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper-case hexadecimal.
bool IsGuidText(std::u16string shape) {
  for (char16_t& c : shape) c = (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') ? u'h' : c == u'h' ? u'?' : c;
  return shape == u"{hhhhhhhh-hhhh-hhhh-hhhh-hhhhhhhhhhhh}";
}

using CreatePublicKeyTest = SoftHomesTest;

// The identifiers and flags CryptGenKey receives (the only place they are
// asserted), a new GUID-named container for each key, and the public key
// handed out: for RSA a CERT_PUBLIC_KEY_INFO
// whose key OpenSSL reads with the asked length, for SM2 the 140-octet blob.
TEST_F(CreatePublicKeyTest, GenerationIdentifiersFlagsAndExport) {
  const struct {
    bool rsa;
    DWORD spec, bits, flags;
    ALG_ID algId;
    DWORD genFlags;
  } rows[] = {
      {true, AT_SIGNATURE, 2048, CRYPT_EXPORTABLE, 2, 0x08000001},
      {false, AT_KEYEXCHANGE, 256, 0, 0xBE00, 0x01000000},
      // only the low 16 bits of the caller's flags reach the provider
      {false, AT_SIGNATURE, 256, 0x10003, 0x3E00, 0x01000003},
  };
  std::set<std::u16string> names;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.algId);
    FaultPlatform platform;
    Result r;
    Create(&r, row.bits, row.rsa, row.spec, true, row.flags);
    ASSERT_EQ(r.status, S_OK);
    const auto gen = platform.CallsOf("CryptGenKey");
    ASSERT_EQ(gen.size(), 1u);
    EXPECT_EQ(gen[0].Number("algId"), row.algId);
    EXPECT_EQ(gen[0].Number("flags"), row.genFlags);
    EXPECT_TRUE(IsGuidText(r.container));
    EXPECT_TRUE(names.insert(r.container).second) << "each container is new";
    if (!row.rsa) {
      EXPECT_EQ(r.keyLength, 140u);
      EXPECT_EQ(r.key[0], PUBLICKEYBLOB);
      continue;
    }
    const auto* info = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(r.key);
    ASSERT_GE(r.keyLength, sizeof *info);
    EXPECT_STREQ(info->Algorithm.pszObjId, "1.2.840.113549.1.1.1");
    EXPECT_GE(info->PublicKey.pbData, r.key) << "the key points into its own buffer";
    EXPECT_LE(info->PublicKey.pbData + info->PublicKey.cbData, r.key + r.keyLength);
    const unsigned char* p = info->PublicKey.pbData;
    EVP_PKEY* key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, info->PublicKey.cbData);
    ASSERT_NE(key, nullptr) << "an RSAPublicKey";
    EXPECT_EQ(EVP_PKEY_get_bits(key), static_cast<int>(row.bits));
    EVP_PKEY_free(key);
  }
}

TEST_F(CreatePublicKeyTest, ContainerChoice) {
  ASSERT_TRUE(OpenContainer("Existing", true, CRYPT_NEWKEYSET));
  const struct {
    const char* name;
    bool fresh;           // the newContainer argument
    const char16_t* was;  // *containerName before the call
    DWORD openFlags;      // of the one open call
    bool newName;         // a new GUID name is handed out
  } rows[] = {
      {"new container ignores a name", true, u"Existing", CRYPT_NEWKEYSET, true},
      {"empty name creates one too", false, u"", CRYPT_NEWKEYSET, true},
      {"a named container is opened", false, u"Existing", 0, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FaultPlatform platform;
    Result r;
    r.container = row.was;
    Create(&r, 1024, true, AT_SIGNATURE, row.fresh, 0);
    ASSERT_EQ(r.status, S_OK);
    const auto opens = platform.CallsOf("CryptAcquireContextW");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].Number("flags"), row.openFlags);
    EXPECT_EQ(opens[0].Arg("container"), Narrow(r.container.c_str()));
    EXPECT_TRUE(row.newName ? IsGuidText(r.container) : r.container == u"Existing");
  }
}

// A container this call created is deleted after a later failure (SM2
// with the token's own flag; the fault sweep fails every other call); the
// caller's never is; nothing is handed out.
TEST_F(CreatePublicKeyTest, Failures) {
  constexpr DWORD kPerm = static_cast<DWORD>(NTE_PERM);
  ASSERT_TRUE(OpenContainer("Mine", true, CRYPT_NEWKEYSET));
  const struct {
    bool rsa;
    bool fresh;
    const char* failCall;
    DWORD error;
    HRESULT status;
    uint64_t deleteFlags;  // of the second open call; 0: there is none
  } rows[] = {
      {false, true, "CryptExportKey", kPerm, NTE_PERM, 0xFFFF0002},
      // a failure without a last error is still a failure
      {true, true, "CryptGenKey", 0, E_FAIL, CRYPT_DELETEKEYSET},
      // the caller's container "Mine" stays, and the handle for the caller
      {true, false, "CryptGenKey", ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005), 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.failCall) + (row.rsa ? " RSA" : " SM2"));
    FaultPlatform platform;
    platform.FailCall(row.failCall, 1, row.error);
    Result r;
    r.container = row.fresh ? u"Before" : u"Mine";
    Create(&r, row.rsa ? 1024 : 256, row.rsa, AT_KEYEXCHANGE, row.fresh, 0);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.container, row.fresh ? u"Before" : u"Mine") << "no name is handed out";
    EXPECT_EQ(r.key, nullptr);
    const auto opens = platform.CallsOf("CryptAcquireContextW");
    ASSERT_EQ(opens.size(), row.deleteFlags ? 2u : 1u);
    if (!row.deleteFlags) {
      EXPECT_EQ(r.provider != 0, !row.fresh) << "only the caller's handle stays, for the caller";
      continue;
    }
    EXPECT_EQ(r.provider, 0u) << "the handle is released, never left dangling";
    EXPECT_EQ(opens[1].Number("flags"), row.deleteFlags);
    EXPECT_EQ(opens[1].Arg("container"), opens[0].Arg("container"));
    EXPECT_FALSE(OpenContainer(opens[0].Arg("container"), row.rsa));
  }
  EXPECT_TRUE(OpenContainer("Mine", true));
}

}  // namespace
