// The wrapping table that tests use to make platform calls fail.
#include "support/FaultPlatform.h"

#include <gtest/gtest.h>

#include "CryptTestSupport.h"
#include "support/TestSupport.h"

namespace {

class FaultPlatformTest : public ::testing::Test {
 protected:
  ScopedSoftHomes homes_;
};

TEST_F(FaultPlatformTest, FailsTheChosenOccurrenceWithTheChosenError) {
  FaultPlatform fault;
  fault.FailCall("CryptAcquireContextW", 2, static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
  HCRYPTPROV first = 0, second = 0, third = 0;
  EXPECT_TRUE(Plat().CryptAcquireContextW(&first, nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_FAILS_WITH(NTE_PROV_TYPE_NOT_DEF, Plat().CryptAcquireContextW(&second, nullptr, kEnhanced,
                                                                        PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(0u, second);  // the failed call never reached the provider
  EXPECT_TRUE(Plat().CryptAcquireContextW(&third, nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));

  const auto calls = fault.CallsOf("CryptAcquireContextW");
  ASSERT_EQ(3u, calls.size());
  EXPECT_EQ((std::vector<std::string>{calls[0].args[0], "null", "Microsoft Enhanced Cryptographic Provider v1.0",
                                      "1", "4026531840"}),
            calls[0].args);
  Plat().CryptReleaseContext(first, 0);
  Plat().CryptReleaseContext(third, 0);
  EXPECT_EQ(2u, fault.CountOf("CryptReleaseContext"));
}

TEST_F(FaultPlatformTest, FailureResultsFollowEachEntrysConvention) {
  FaultPlatform fault;
  fault.FailCall("RegOpenKeyExW", 0, ERROR_ACCESS_DENIED);
  fault.FailCall("CreateFileW", 1, ERROR_FILE_EXISTS);
  fault.FailCall("CoCreateGuid", 1, ERROR_OUTOFMEMORY);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, Plat().RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, Plat().RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &key));
  EXPECT_EQ(INVALID_HANDLE_VALUE, Plat().CreateFileW(u"x", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), Plat().GetLastError());
  GUID guid;
  EXPECT_EQ(E_OUTOFMEMORY, Plat().CoCreateGuid(&guid));
  EXPECT_EQ(S_OK, Plat().CoCreateGuid(&guid));
  EXPECT_EQ("Software", fault.CallsOf("RegOpenKeyExW")[0].args[1]);
}

TEST_F(FaultPlatformTest, RestoresTheTableItWrapped) {
  const Platform* before = &Plat();
  {
    FaultPlatform fault;
    EXPECT_NE(before, &Plat());
  }
  EXPECT_EQ(before, &Plat());
}

}  // namespace
