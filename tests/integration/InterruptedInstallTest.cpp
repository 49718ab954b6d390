// Enrollments that are cut short: the process is ended at each write a
// request or an import makes to the home (as a kill -9 would), and the
// home must hold every container as it was before the call or after it,
// never keyless, with one key, or half replaced; a retried import must
// then succeed. Also every RSA length the selection takes, end to end.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "integration/Enrollment.h"
#include "platform/soft/registry/SoftDatabase.h"
#include "support/ChildProcess.h"
#include "support/CryptTestSupport.h"
#include "support/FaultVfs.h"
#include "support/KeyList.h"
#include "support/ScriptHost.h"

namespace {

namespace fs = std::filesystem;

HRESULT Import(ScriptHost& page, const Enrollment& e) {
  return page.Call("ZENQ_ImportEncryptCert",
                   {e.envelope.envelope, e.envelope.certificate, e.container, "0"}).hr;
}

Bytes Spki(const ListedKey* key) { return key ? key->spki : Bytes(); }

// Every RSA length the selection offers installs and verifies.
TEST(WholeEnrollment, EveryRsaLengthInstallsOnTheToken) {
  for (const int bits : {1032, 1048, 2040, 4096}) {
    SCOPED_TRACE(bits);
    ScopedSoftHomes homes;
    ScriptHost page;
    Enrollment e;
    ASSERT_TRUE(Prepare(page, kRsaTokenName, "RSA", bits, &e));
    ASSERT_EQ(Import(page, e), S_OK) << page.Call("GetLastErrorDesc").text;
    EXPECT_EQ(Spki(FindKey(ListedKeys(e.container), "exchange")), CertificateSpki(e.envelope.certificateDer));
    ExpectKeyVerifies(kRsaTokenName, e.container, 2);
  }
}

struct Case {
  const char* provider;
  const char* algorithm;
  int bits;
};

class Interrupted : public ::testing::TestWithParam<Case> {};

// Runs `body` in a child ended at its write `n`; true while the kill came
// before the body finished.
template <typename F>
bool KilledAt(uint64_t n, F body) {
  const int code = WaitExit(Spawn([&] {
    FaultVfsKillAt(n);
    return body() ? 0 : 1;
  }));
  EXPECT_TRUE(code == 0 || code == kFaultVfsKilled) << "write " << n << ": exit " << code;
  return code == kFaultVfsKilled;
}

// Each container `keyloom key list` shows holds both keys of its request.
void ExpectOnlyWholeContainers(uint64_t n) {
  std::string out;
  ASSERT_EQ(RunCommand(KEYLOOM_CLI_PATH " key list", &out), 0) << "write " << n << "\n" << out;
  for (size_t at = 0, end; at < out.size(); at = end + 1) {
    end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(at, end - at);
    size_t keys = 0;
    for (size_t k = line.find("\"spec\""); k != std::string::npos; k = line.find("\"spec\"", k + 1))
      ++keys;
    EXPECT_TRUE(line.empty() || keys == 2) << "write " << n << ": " << line;
  }
}

TEST_P(Interrupted, RequestLeavesWholeContainersOrNone) {
  const Case& c = GetParam();
  ScopedSoftHomes homes;
  for (uint64_t n = 1; n < 200; ++n) {
    const bool killed = KilledAt(n, [&] {
      ScriptHost page;
      return page.Select(std::to_string(c.bits), c.provider, c.algorithm) &&
             page.Call("ZENQ_PKCS10CertRequisition", {kSubject, "2", "0"}).hr == S_OK;
    });
    ExpectOnlyWholeContainers(n);
    if (!killed) {
      EXPECT_GT(n, 3u) << "too few writes were cut";
      return;
    }
  }
  ADD_FAILURE() << "the request never finished";
}

TEST_P(Interrupted, ImportLeavesKeyBeforeOrAfterAndRetrySucceeds) {
  const Case& c = GetParam();
  ScopedSoftHomes homes;
  Enrollment e;
  Bytes temporary;
  {
    ScriptHost page;
    ASSERT_TRUE(Prepare(page, c.provider, c.algorithm, c.bits, &e));
    temporary = Spki(FindKey(ListedKeys(e.container), "exchange"));
  }
  SoftCloseDatabases();
  const fs::path home = homes.user(), saved = homes.root() + "/saved";
  fs::copy(home, saved, fs::copy_options::recursive);
  const Bytes authority = CertificateSpki(e.envelope.certificateDer);
  const bool token = std::string(c.provider) != kEnhancedName;
  for (uint64_t n = 1; n < 200; ++n) {
    SCOPED_TRACE("write " + std::to_string(n));
    SoftCloseDatabases();
    fs::remove_all(home);
    fs::copy(saved, home, fs::copy_options::recursive);
    const bool killed = KilledAt(n, [&] {
      ScriptHost page;
      return page.Select(std::to_string(c.bits), c.provider, c.algorithm) && Import(page, e) == S_OK;
    });
    const std::vector<ListedKey> keys = ListedKeys(e.container);
    const ListedKey* exchange = FindKey(keys, "exchange");
    ASSERT_TRUE(exchange && FindKey(keys, "signature"));
    // A token's key and certificate go in together.
    if (token) {
      EXPECT_EQ(exchange->spki == authority, exchange->certificate == e.envelope.certificateDer);
    }
    EXPECT_TRUE(exchange->spki == temporary || exchange->spki == authority);
    if (!killed) {
      EXPECT_GT(n, 1u) << "no write was cut";
      return;
    }
    ScriptHost retry;
    ASSERT_TRUE(retry.Select(std::to_string(c.bits), c.provider, c.algorithm));
    ASSERT_EQ(Import(retry, e), S_OK) << retry.Call("GetLastErrorDesc").text;
    EXPECT_EQ(Spki(FindKey(ListedKeys(e.container), "exchange")), authority);
  }
  ADD_FAILURE() << "the import never finished";
}

INSTANTIATE_TEST_SUITE_P(Providers, Interrupted,
                         ::testing::Values(Case{kEnhancedName, "RSA", 1024}, Case{kRsaTokenName, "RSA", 1024},
                                           Case{kSm2TokenName, "SM2", 256}),
                         [](const auto& info) {
                           return std::string(info.param.provider == kEnhancedName ? "Enhanced" :
                                              info.param.provider == kRsaTokenName ? "RsaToken" : "Sm2Token") +
                                  std::to_string(info.param.bits);
                         });

}  // namespace
