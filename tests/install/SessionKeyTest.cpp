// The session key opened with the temporary key (OpenSSL wraps it).
#include <gtest/gtest.h>

#include <numeric>

#include "encoding/Buffer.h"
#include "install/InstallTestSupport.h"
#include "install/SessionKey.h"

namespace {

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
