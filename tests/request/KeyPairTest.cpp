// Key pair creation against a scripted provider: which container is opened
// with which flags, what CryptGenKey receives, and what is cleaned up.
#include <gtest/gtest.h>

#include "encoding/Buffer.h"
#include "request/KeyPair.h"
#include "support/FakeProvider.h"

namespace {

constexpr char16_t kEnhanced[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
constexpr char16_t kSm2[] = u"Keyloom SM2 Token Provider";

struct Result {
  HRESULT status;
  HCRYPTPROV provider = 0;
  std::u16string container;
  BYTE* key = nullptr;
  DWORD keyLength = 0;
  ~Result() { FreeBuffer(key); }
};

void Create(Result* r, DWORD bits, const char16_t* provider, bool rsa, DWORD spec, bool fresh,
            DWORD flags) {
  r->status = CreatePublicKey({.providerName = provider,
                               .algorithm = rsa ? KeyAlgorithm::Rsa : KeyAlgorithm::Sm2,
                               .keySpec = spec,
                               .keyLength = bits,
                               .generationFlags = flags,
                               .newContainer = fresh},
                              &r->provider, &r->container, &r->key, &r->keyLength);
}

bool IsGuidText(const std::u16string& s) {
  if (s.size() != 38 || s.front() != u'{' || s.back() != u'}') return false;
  for (size_t i = 1; i < 37; ++i) {
    const char16_t c = s[i];
    const bool hyphen = i == 9 || i == 14 || i == 19 || i == 24;
    if (hyphen ? c != u'-' : !((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F')))
      return false;
  }
  return true;
}

TEST(CreateGUIDStr, RegistryFormUpperCase) {
  std::u16string a, b;
  ASSERT_EQ(CreateGUIDStr(&a), S_OK);
  ASSERT_EQ(CreateGUIDStr(&b), S_OK);
  EXPECT_TRUE(IsGuidText(a));
  EXPECT_NE(a, b);
}

struct GenRow {
  bool rsa;
  DWORD spec, bits, flags;
  const char* genKey;  // the CryptGenKey call expected
  const char* export_;
};

const GenRow kGenRows[] = {
    {true, 1, 1024, 0, "CryptGenKey alg=0x1 flags=0x4000000", "CryptExportPublicKeyInfo spec=0x1"},
    {true, 2, 2048, 1, "CryptGenKey alg=0x2 flags=0x8000001", "CryptExportPublicKeyInfo spec=0x2"},
    {false, 1, 256, 0, "CryptGenKey alg=0xbe00 flags=0x1000000", "CryptExportKey type=0x6"},
    {false, 2, 256, 0x10003, "CryptGenKey alg=0x3e00 flags=0x1000003", "CryptExportKey type=0x6"},
};

TEST(CreatePublicKey, GenerationIdentifiersAndFlags) {
  for (const GenRow& row : kGenRows) {
    FakeProvider fake;
    ScopedFakeProvider scope(&fake);
    Result r;
    Create(&r, row.bits, row.rsa ? kEnhanced : kSm2, row.rsa, row.spec, true, row.flags);
    ASSERT_EQ(r.status, S_OK);
    EXPECT_EQ(CallsOf(fake, "CryptGenKey"), std::vector<std::string>{row.genKey});
    EXPECT_EQ(CallsOf(fake, "Crypt")[2].substr(0, std::string(row.export_).size()), row.export_);
    EXPECT_TRUE(IsGuidText(r.container));
    EXPECT_EQ(r.provider, 0x100u);
    EXPECT_EQ(r.keyLength, row.rsa ? r.keyLength : 140u);
    // The key handle is destroyed, the provider handle left to the caller.
    EXPECT_EQ(CallsOf(fake, "CryptDestroyKey").size(), 1u);
    EXPECT_TRUE(CallsOf(fake, "CryptReleaseContext").empty());
  }
}

TEST(CreatePublicKey, RsaKeyInfoPointsIntoItsOwnBuffer) {
  FakeProvider fake;
  ScopedFakeProvider scope(&fake);
  Result r;
  Create(&r, 1024, kEnhanced, true, 1, true, 0);
  ASSERT_EQ(r.status, S_OK);
  const auto* info = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(r.key);
  ASSERT_EQ(info->PublicKey.cbData, 140u);
  EXPECT_GE(info->PublicKey.pbData, r.key);
  EXPECT_LE(info->PublicKey.pbData + 140, r.key + r.keyLength);
  EXPECT_EQ(std::vector<BYTE>(info->PublicKey.pbData, info->PublicKey.pbData + 140),
            FakeProvider::RsaPublicKey());
}

TEST(CreatePublicKey, ContainerChoice) {
  {  // new container true ignores a name in the variable
    FakeProvider fake;
    ScopedFakeProvider scope(&fake);
    Result r;
    r.container = u"Existing";
    Create(&r, 1024, kEnhanced, true, 1, true, 0);
    ASSERT_EQ(r.status, S_OK);
    EXPECT_TRUE(IsGuidText(r.container));
    EXPECT_NE(fake.log[0].find("flags=0x8"), std::string::npos) << fake.log[0];
  }
  {  // new container false with an empty variable creates one too
    FakeProvider fake;
    ScopedFakeProvider scope(&fake);
    Result r;
    Create(&r, 1024, kEnhanced, true, 1, false, 0);
    ASSERT_EQ(r.status, S_OK);
    EXPECT_TRUE(IsGuidText(r.container));
  }
  {  // a named container is opened with flags 0
    FakeProvider fake;
    ScopedFakeProvider scope(&fake);
    Result r;
    r.container = u"Existing";
    Create(&r, 1024, kEnhanced, true, 2, false, 0);
    ASSERT_EQ(r.status, S_OK);
    EXPECT_EQ(fake.log[0], "CryptAcquireContextW Existing "
                           "Microsoft Enhanced Cryptographic Provider v1.0 flags=0x0");
    EXPECT_EQ(r.container, u"Existing");
  }
  {  // an open handle is used as it is: no open call at all
    FakeProvider fake;
    ScopedFakeProvider scope(&fake);
    Result r;
    r.provider = 0x777;
    r.container = u"Open";
    Create(&r, 2048, kEnhanced, true, 2, false, 0);
    ASSERT_EQ(r.status, S_OK);
    EXPECT_TRUE(CallsOf(fake, "CryptAcquireContextW").empty());
    EXPECT_EQ(r.container, u"Open");
    EXPECT_EQ(r.provider, 0x777u);
  }
}

TEST(CreatePublicKey, FailureAfterCreationDeletesTheNewContainer) {
  struct {
    bool rsa;
    const char* failCall;
    const char* deleteFlags;
  } rows[] = {
      {true, "CryptGenKey", "flags=0x10"},
      {false, "CryptGenKey", "flags=0xffff0002"},
      {true, "CryptExportPublicKeyInfo", "flags=0x10"},
      {false, "CryptExportKey", "flags=0xffff0002"},
  };
  for (const auto& row : rows) {
    FakeProvider fake;
    fake.failCall = row.failCall;
    fake.failError = static_cast<DWORD>(NTE_PERM);
    ScopedFakeProvider scope(&fake);
    Result r;
    r.container = u"Before";
    Create(&r, 1024, row.rsa ? kEnhanced : kSm2, row.rsa, 1, true, 0);
    EXPECT_EQ(r.status, NTE_PERM) << row.failCall;
    const auto opens = CallsOf(fake, "CryptAcquireContextW");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_NE(opens[1].find(row.deleteFlags), std::string::npos) << opens[1];
    // The deletion names the container the first call created.
    EXPECT_EQ(opens[0].substr(21, 38), opens[1].substr(21, 38));
    EXPECT_EQ(r.container, u"Before") << "no name is handed out on failure";
    EXPECT_EQ(r.provider, 0u) << "the handle is released, never left dangling";
    EXPECT_EQ(r.key, nullptr);
  }
}

TEST(CreatePublicKey, CallersContainerIsNeverDeleted) {
  FakeProvider fake;
  fake.failCall = "CryptGenKey";
  fake.failError = ERROR_ACCESS_DENIED;
  ScopedFakeProvider scope(&fake);
  Result r;
  r.container = u"Mine";
  Create(&r, 1024, kEnhanced, true, 1, false, 0);
  EXPECT_EQ(static_cast<uint32_t>(r.status), 0x80070005u);
  EXPECT_EQ(CallsOf(fake, "CryptAcquireContextW").size(), 1u);
  EXPECT_EQ(r.provider, 0x100u) << "the caller's handle stays for the caller to release";
}

TEST(CreatePublicKey, OpenFailureDeletesNothing) {
  FakeProvider fake;
  fake.failCall = "CryptAcquireContextW";
  fake.failError = static_cast<DWORD>(NTE_KEYSET_NOT_DEF);
  ScopedFakeProvider scope(&fake);
  Result r;
  Create(&r, 1024, u"No Such Provider", true, 1, true, 0);
  EXPECT_EQ(r.status, NTE_KEYSET_NOT_DEF);
  EXPECT_EQ(fake.log.size(), 1u);
  EXPECT_EQ(r.provider, 0u);
}

TEST(CreatePublicKey, FailureWithoutLastErrorIsStillAFailure) {
  FakeProvider fake;
  fake.failCall = "CryptGenKey";
  fake.failError = 0;
  ScopedFakeProvider scope(&fake);
  Result r;
  Create(&r, 1024, kEnhanced, true, 1, true, 0);
  EXPECT_EQ(r.status, E_FAIL);
}

}  // namespace
