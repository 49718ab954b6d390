// The session key opened with the temporary key (OpenSSL wraps it), and
// the exponent-one key's container.
#include <gtest/gtest.h>

#include <numeric>

#include "encoding/Buffer.h"
#include "install/InstallTestSupport.h"
#include "install/SessionKey.h"
#include "support/FaultPlatform.h"

namespace {

using SessionKey = SoftHomesTest;

TEST_F(SessionKey, UnwrappedWithTheTemporaryKey) {
  std::u16string container;
  const Pkey temporary = KeyInNewContainer(&container, AT_KEYEXCHANGE);
  ASSERT_NE(nullptr, temporary);
  const struct {
    size_t plain, expected;  // the first `expected` octets come back
  } rows[] = {{24, 24}, {32, 24}, {16, 16}};
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

TEST_F(SessionKey, ExponentOneContainerIsCreatedOnceAndReused) {
  for (DWORD opens : {2u, 1u}) {  // missing: flags 0, then CRYPT_NEWKEYSET; then 0 alone
    FaultPlatform platform;
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CreatePrivateExponentOneKey(kExponentOneProvider, PROV_RSA_FULL,
                                            kExponentOneContainer, &prov, &key));
    const auto calls = platform.CallsOf("CryptAcquireContextW");
    ASSERT_EQ(opens, calls.size());
    EXPECT_EQ("SGKEYCONTAINER", calls[0].Arg("container"));
    EXPECT_EQ(opens == 2 ? CRYPT_NEWKEYSET : 0u, calls.back().Number("flags"));
    const Bytes blob = ExportKey(key, PUBLICKEYBLOB);  // public exponent 1
    ASSERT_GE(blob.size(), 20u);
    EXPECT_EQ("01 00 00 00", ToHex(blob.data() + 16, 4));
    Plat().CryptDestroyKey(key);
    Plat().CryptReleaseContext(prov, 0);
  }
}

}  // namespace
