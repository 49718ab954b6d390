// "Keyloom PKCS#11 Token Provider" on a SoftHSM2 token made for each test,
// driven by `keyloom call` (one process per page visit) with testca as the
// authority; checked from outside by `keyloom key` and OpenSC's pkcs11-tool.
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>

#include "support/Base64Text.h"
#include "support/KeyList.h"
#include "support/TestSupport.h"
#include "testca/TestCa.h"

namespace {

const char kProvider[] = "Keyloom PKCS#11 Token Provider";
const char kSoftHsm[] = "/usr/lib/softhsm/libsofthsm2.so";
const char kSubject[] = "CN=Token User,O=Keyloom,C=CN";
const char kPrompt[] = "Enter the PIN of the token \"Keyloom Test\".\n";
namespace fs = std::filesystem;

// The "hr" and "result" text of METHOD in `keyloom call` output.
std::string Field(const std::string& out, const std::string& method, const char* name) {
  const size_t at = out.find("\"method\":\"" + method + "\"");
  if (at == std::string::npos) return "";
  const std::string key = std::string("\"") + name + "\":\"";
  const size_t start = out.find(key, at);
  if (start == std::string::npos || start > out.find('\n', at)) return "";
  std::string v = out.substr(start + key.size(), out.find('"', start + key.size()) - start - key.size());
  for (size_t p; (p = v.find("\\r\\n")) != std::string::npos;) v.erase(p, 4);
  return v;
}

// A token of its own for each test: SoftHSM2 configured into a new folder,
// one token "Keyloom Test" with user PIN 123456, the scripted pinentry.
class TokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/keyloom-p11-XXXXXX";
    dir_ = mkdtemp(pattern);
    fs::create_directory(dir_ + "/tokens");
    conf_.emplace("SOFTHSM2_CONF", (dir_ + "/softhsm2.conf").c_str());
    prompts_.emplace("KEYLOOM_TEST_PROMPTS", (dir_ + "/prompts").c_str());
    std::string out;
    ASSERT_EQ(RunCommand("printf 'directories.tokendir = " + dir_ + "/tokens\\nobjectstore.backend = file\\n"
                         "log.level = ERROR\\n' >" + dir_ + "/softhsm2.conf", &out), 0);
    ASSERT_EQ(RunCommand("softhsm2-util --init-token --free --label 'Keyloom Test' --pin 123456"
                         " --so-pin 12345678", &out, true), 0) << out;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // `keyloom call` of one page visit: the selection, then `calls` (no quotes); the JSON lines.
  std::string Page(int bits, const std::vector<std::string>& calls) {
    std::string command = std::string(KEYLOOM_CLI_PATH " call ZENQ_SetCSPInfo ") + std::to_string(bits) + " '" +
                          kProvider + "' -- ZENQ_SetKeyAlgorithm RSA --", out;
    for (const std::string& a : calls) command.append(" '").append(a).append("'");
    RunCommand(command, &out);
    return out;
  }
  // The request step of a double enrollment: the request and its container.
  std::string Request(int bits, std::string* container) {
    const std::string out = Page(bits, {"ZENQ_PKCS10CertRequisition", kSubject, "2", "0", "--",
                                        "GetLastErrorDesc", "--", "ZENQ_GetContainer"});
    *container = Field(out, "ZENQ_GetContainer", "result");
    return out;
  }
  // The authority's answer and the install step; the install's output.
  std::string Install(int bits, const std::string& request, const std::string& container,
                      testca::EnvelopeResult* envelope, Bytes* signing) {
    const Bytes der = Unbase64(Field(request, "ZENQ_PKCS10CertRequisition", "result"));
    testca::RequestParts parts;
    std::string error;
    EXPECT_TRUE(testca::Issue(Authority(), der, signing, &error)) << error;
    EXPECT_TRUE(testca::DecodeRequest(der, &parts, &error)) << error;
    testca::EnvelopeRequest answer;  // RSA
    answer.temporaryKey = testca::TemporaryKey(parts);
    answer.bits = bits;
    answer.subjectDer = parts.subject;
    EXPECT_TRUE(testca::MakeEnvelope(Authority(), answer, envelope, &error)) << error;
    return Page(bits, {"ZENQ_ImportSignCert", "2", testca::Base64Field(*signing, 0, false), container, "--",
                       "ZENQ_ImportEncryptCert", envelope->envelope, envelope->certificate, container, "0", "--",
                       "GetLastErrorDesc"});
  }
  static const std::string& Authority() {
    static const std::string dir = [] {
      char pattern[] = "/tmp/keyloom-p11ca-XXXXXX";
      const std::string d = std::string(mkdtemp(pattern)) + "/ca";
      std::string error;
      EXPECT_TRUE(testca::Init(d, &error)) << error;
      return d;
    }();
    return dir;
  }
  std::string dir_;
  ScopedSoftHomes homes_;
  ScopedEnv lang_{"LANG", "C"}, lcAll_{"LC_ALL", nullptr}, lcMessages_{"LC_MESSAGES", nullptr};
  std::optional<ScopedEnv> conf_, prompts_;
  ScopedEnv module_{"KEYLOOM_PKCS11_MODULE", kSoftHsm};
  ScopedEnv pinentry_{"KEYLOOM_PINENTRY", KEYLOOM_SOURCE_DIR "/tests/pkcs11/pinentry.sh"};
  ScopedEnv pin_{"KEYLOOM_TEST_PIN", "123456"};
};

class DoubleEnrollment : public TokenTest, public ::testing::WithParamInterface<int> {};

// Both keys and certificates on the token, `key verify` signing there, the
// private keys sensitive and not extractable. 1024 bits: the plain envelope
// (the control decrypts it); 2048: the encrypted one (the token unwraps).
TEST_P(DoubleEnrollment, PutsBothKeysAndCertificatesOnTheToken) {
  const int bits = GetParam();
  std::string container;
  const std::string request = Request(bits, &container);
  ASSERT_EQ(Field(request, "ZENQ_PKCS10CertRequisition", "hr"), "0x00000000") << request;
  testca::EnvelopeResult envelope;
  Bytes signing;
  const std::string installed = Install(bits, request, container, &envelope, &signing);
  ASSERT_EQ(Field(installed, "ZENQ_ImportEncryptCert", "hr"), "0x00000000") << installed;
  EXPECT_EQ(ReadFile(dir_ + "/prompts"), std::string(kPrompt) + kPrompt);

  const std::vector<ListedKey> keys = ListedKeys(container);
  const ListedKey* signature = FindKey(keys, "signature");
  const ListedKey* exchange = FindKey(keys, "exchange");
  ASSERT_TRUE(signature && exchange) << keys.size();
  EXPECT_EQ(signature->certificate, signing);
  EXPECT_EQ(exchange->certificate, envelope.certificateDer);
  std::string out, access;
  EXPECT_EQ(RunCommand(std::string(KEYLOOM_CLI_PATH " key verify --provider '") + kProvider +
                           "' --container '" + container + "'", &out, true), 0) << out;
  EXPECT_EQ(out.find("false"), std::string::npos) << out;
  RunCommand(std::string("pkcs11-tool --module ") + kSoftHsm + " --login --pin 123456 --list-objects"
             " --type privkey 2>/dev/null | grep Access:", &access);  // one line a private key
  EXPECT_EQ(Count(access, "Access:"), 2) << access;
  EXPECT_EQ(Count(access, "Access:     sensitive"), 2) << access;
  EXPECT_EQ(access.find(", extractable"), std::string::npos) << access;
}

INSTANTIATE_TEST_SUITE_P(Rsa, DoubleEnrollment, ::testing::Values(1024, 2048));

// The failures of the request step: each its status and text in the
// user's language, and no container left on the token.
struct FailureCase {
  const char *name, *pin, *lang;
  bool removeToken;
  const char* blocked;  // KEYLOOM_TEST_BLOCKED of the blocked-PIN module; null: SoftHSM2 itself
  const char *hr, *text;  // the text: in GetLastErrorDesc
  const char* prompt;     // the description pinentry was shown; empty: not asked
};

const FailureCase kFailures[] = {
    {"WrongPin", "000000", "C", false, nullptr, "0x8010006b", "the wrong PIN was presented", kPrompt},
    {"Cancelled", "cancel", "C", false, nullptr, "0x8010006e", "cancelled by the user", kPrompt},
    {"NoToken", "123456", "C", true, nullptr, "0x8010000c", "no Smart Card is currently in the device", ""},
    // The right PIN, but the token blocks it at this login; or the token
    // says it is blocked, and the user is not asked for a PIN at all.
    {"BlockedAtLogin", "123456", "C", false, "login", "0x8010006c",
     "the maximum number of PIN entry attempts has been reached", kPrompt},
    {"BlockedChinese", "123456", "zh_CN.UTF-8", false, "flag", "0x8010006c", "已达到 PIN 输入尝试的最大次数", ""},
};

class RequestFailure : public TokenTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RequestFailure, GivesItsStatusAndLeavesNothing) {
  const FailureCase& c = GetParam();
  ScopedEnv pin("KEYLOOM_TEST_PIN", c.pin), lang("LANG", c.lang), blocked("KEYLOOM_TEST_BLOCKED", c.blocked);
  ScopedEnv module("KEYLOOM_PKCS11_MODULE", c.blocked ? BLOCKED_PIN_MODULE : kSoftHsm);
  if (c.removeToken) fs::remove_all(dir_ + "/tokens"), fs::create_directory(dir_ + "/tokens");
  std::string container;
  const std::string out = Request(1024, &container);
  EXPECT_EQ(Field(out, "ZENQ_PKCS10CertRequisition", "hr"), c.hr) << out;
  EXPECT_NE(Field(out, "GetLastErrorDesc", "result").find(c.text), std::string::npos) << out;
  EXPECT_EQ(ReadFile(dir_ + "/prompts"), c.prompt);
  std::string listed;  // no key on the token
  EXPECT_EQ(RunCommand(std::string(KEYLOOM_CLI_PATH " key list --provider '") + kProvider + "'", &listed), 0);
  EXPECT_EQ(listed, "");
}

INSTANTIATE_TEST_SUITE_P(Token, RequestFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// The token goes away between the request and the installation: the
// installation says so and binds nothing; with the token back, it succeeds.
TEST_F(TokenTest, TokenRemovedMidEnrollmentThenBack) {
  std::string container;
  const std::string request = Request(1024, &container);
  ASSERT_EQ(Field(request, "ZENQ_PKCS10CertRequisition", "hr"), "0x00000000") << request;
  const fs::path token = fs::directory_iterator(dir_ + "/tokens")->path();
  fs::rename(token, dir_ + "/away");
  testca::EnvelopeResult envelope;
  Bytes signing;
  const std::string failed = Install(1024, request, container, &envelope, &signing);
  EXPECT_EQ(Field(failed, "ZENQ_ImportSignCert", "hr"), "0x8010000c") << failed;
  EXPECT_EQ(Field(failed, "ZENQ_ImportEncryptCert", "hr"), "0x8010000c") << failed;
  fs::rename(dir_ + "/away", token);
  const std::vector<ListedKey> before = ListedKeys(container);
  ASSERT_EQ(before.size(), 2u);
  for (const ListedKey& k : before) EXPECT_TRUE(k.certificate.empty()) << k.spec;
  const std::string installed = Install(1024, request, container, &envelope, &signing);
  EXPECT_EQ(Field(installed, "ZENQ_ImportEncryptCert", "hr"), "0x00000000") << installed;
}

}  // namespace
