// Enrollment requests end to end through IDispatch: cut by OpenSSL's DER
// reader and verified with EVP over the exact octets (single requests also
// by `openssl req -verify`, which refuses the special attribute form). Then
// the tool's `call`.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <fstream>
#include <string>
#include <vector>

#include "integration/Enrollment.h"
#include "support/Base64Text.h"
#include "support/DerTestSupport.h"
#include "support/KeyList.h"
#include "support/OpenSslDer.h"
#include "support/ScriptHost.h"
#include "support/TestPki.h"
#include "support/TestSupport.h"

namespace {

std::string WriteTemp(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
  return path;
}


// [0] { challenge SEQUENCE { 1.2.840.113549.1.9.7, PrintableString "739254" },
// temporaryKey SEQUENCE { 1.2.840.113549.1.9.63, OCTET STRING { SEQUENCE {
// INTEGER 1, OCTET STRING key } } } }, no SETs: the octets before the key, for
// a 140-octet RSAPublicKey and for the 136-octet SM2 form.
const Bytes kRsaAttributesHead = FromHex(
    "A0 81 BB 30 13 06 09 2A 86 48 86 F7 0D 01 09 07 13 06 37 33 39 32 35 34"
    "30 81 A3 06 09 2A 86 48 86 F7 0D 01 09 3F 04 81 95 30 81 92 02 01 01 04 81 8C");
const Bytes kSm2AttributesHead = FromHex(
    "A0 81 B7 30 13 06 09 2A 86 48 86 F7 0D 01 09 07 13 06 37 33 39 32 35 34"
    "30 81 9F 06 09 2A 86 48 86 F7 0D 01 09 3F 04 81 91 30 81 8E 02 01 01 04 81 88");
// signatureAlgorithm SEQUENCE { OID, NULL }
const Bytes kSha1WithRsa = FromHex("30 0D 06 09 2A 86 48 86 F7 0D 01 01 05 05 00");  // 1.2.840.113549.1.1.5
const Bytes kMd5WithRsa = FromHex("30 0D 06 09 2A 86 48 86 F7 0D 01 01 04 05 00");   // 1.2.840.113549.1.1.4
const Bytes kSm2WithSm3 = FromHex("30 0C 06 08 2A 81 1C CF 55 01 83 75 05 00");      // 1.2.156.10197.1.501

struct Case {
  const char* provider;
  const char* algorithm;
  int bits;
  int certType;  // 1 single, 2 double
  bool md5;
  const char* name;
};

class EnrollmentRequest : public ::testing::TestWithParam<Case> {};

TEST_P(EnrollmentRequest, VerifiesAndCarriesWhatThePageAskedFor) {
  const Case& c = GetParam();
  ScopedSoftHomes homes;
  ScopedEnv lang("LANG", "C");
  ScriptHost page;
  ASSERT_TRUE(page.Select(std::to_string(c.bits), c.provider, c.algorithm));
  const ScriptResult request =
      page.Call(c.md5 ? "ZENQ_PKCS10CertRequisitionwithMD5" : "ZENQ_PKCS10CertRequisition",
                {"CN=Test User,O=Keyloom,C=CN", std::to_string(c.certType), "0"});
  ASSERT_EQ(request.hr, S_OK) << page.Call("GetLastErrorDesc").text;
  const std::string container = page.Call("ZENQ_GetContainer").text;

  const bool sm2 = std::string(c.algorithm) == "SM2", single = c.certType == 1;
  const Bytes der = Unbase64(request.text);
  // request { info, signatureAlgorithm, signature }; info { version,
  // subject, subjectPublicKeyInfo, [0] attributes of double requests }.
  const std::vector<Bytes> outer = DerChildren(der);
  ASSERT_EQ(outer.size(), 3u);
  const std::vector<Bytes> info = DerChildren(outer[0]);
  ASSERT_EQ(info.size(), single ? 3u : 4u);
  EXPECT_EQ(outer[1], sm2 ? kSm2WithSm3 : c.md5 ? kMd5WithRsa : kSha1WithRsa);
  const Bytes signature = BitStringOctets(outer[2]);

  // The container holds the certified key (and the temporary exchange key).
  const std::vector<ListedKey> keys = ListedKeys(container);
  ASSERT_EQ(keys.size(), single ? 1u : 2u);
  const ListedKey* certified = nullptr;
  const ListedKey* exchange = nullptr;
  for (const ListedKey& k : keys) (k.spec == (single ? "exchange" : "signature") ? certified : exchange) = &k;
  ASSERT_NE(certified, nullptr);
  EXPECT_EQ(info[2], certified->spki);
  const Pkey key = KeyFromSpki(certified->spki);

  // The signature over exactly the certificationRequestInfo octets.
  const EVP_MD* md = sm2 ? EVP_sm3() : c.md5 ? EVP_md5() : EVP_sha1();
  EXPECT_TRUE(EvpVerifies(key.get(), md, outer[0], signature, sm2 ? kSm2SignerId : nullptr));

  // `keyloom request inspect` agrees on both: the text as the method returned
  // it, and the DER with one bit of the subject flipped ("Uest User").
  std::string out, bad, flippedDer(der.begin(), der.end());
  EXPECT_EQ(RunCommand(KEYLOOM_CLI_PATH " request inspect " +
                           WriteTemp(homes.root() + "/request.txt", request.text), &out), 0) << out;
  EXPECT_NE(out.find("\"subject\":\"CN=Test User, O=Keyloom, C=CN\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"signatureValid\":true"), std::string::npos) << out;
  flippedDer[flippedDer.find("Test User")] ^= 0x01;
  EXPECT_EQ(RunCommand(KEYLOOM_CLI_PATH " request inspect - < " +
                           WriteTemp(homes.root() + "/flipped.der", flippedDer), &bad, true), 1);
  EXPECT_NE(bad.find("\"signatureValid\":false"), std::string::npos) << bad;
  EXPECT_NE(bad.find("the signature does not verify: 0x80090006"), std::string::npos) << bad;

  if (single) {  // OpenSSL's own request verifier agrees
    std::string verify;
    RunCommand("openssl req -inform DER -in " +
                   WriteTemp(homes.root() + "/request.der", std::string(der.begin(), der.end())) +
                   " -verify -noout -subject" + (sm2 ? " -vfyopt distid:1234567812345678" : ""),
               &verify, true);
    EXPECT_NE(verify.find("verify OK"), std::string::npos) << verify;
    EXPECT_NE(verify.find("subject=C = CN, O = Keyloom, CN = Test User"), std::string::npos);
    return;
  }
  // Double: the attributes in the special form, byte for byte, carrying the
  // container's exchange key (the SM2 form's conversion: Sm2TempKey).
  ASSERT_NE(exchange, nullptr);
  const Bytes& head = sm2 ? kSm2AttributesHead : kRsaAttributesHead;
  const Bytes& attributes = info[3];
  ASSERT_EQ(attributes.size(), head.size() + (sm2 ? 136u : 140u));
  EXPECT_EQ(Bytes(attributes.begin(), attributes.begin() + head.size()), head);
  if (!sm2) {  // RSAPublicKey
    EXPECT_EQ(Bytes(attributes.begin() + head.size(), attributes.end()),
              I2d(KeyFromSpki(exchange->spki).get(), i2d_PublicKey));
  }
}

// RSA single and double, SM2 double (also the SM2 signature's identifier),
// and the MD5 request's algorithm (the tokens' requests: DoubleEnrollment,
// whose authority verifies them).
const Case kCases[] = {
    {kEnhancedName, "RSA", 1024, 1, false, "Enhanced_RSA1024_Single"},
    {kEnhancedName, "RSA", 1024, 2, false, "Enhanced_RSA1024_Double"},
    {kSm2TokenName, "SM2", 256, 2, false, "Sm2Token_SM2_Double"},
    {kEnhancedName, "RSA", 1024, 1, true, "Enhanced_RSA1024_Single_MD5"},
};

INSTANTIATE_TEST_SUITE_P(AllProviders, EnrollmentRequest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// `keyloom call` end to end: the tool loads the module, creates a control
// through the class factory and prints one JSON line per call.
// The tool's exit code; *out gets what it printed on stdout.
int Cli(const std::string& env, const std::string& args, std::string* out = nullptr) {
  return RunCommand(env + " LC_ALL= LC_MESSAGES= " KEYLOOM_CLI_PATH " " + args, out);
}

#define OK_LINE(method, result) "{\"method\":\"" method "\",\"hr\":\"0x00000000\",\"result\":" result "}\n"
#define ERROR_DESC(text) OK_LINE("GetLastErrorDesc", "\"" text "\"")
#define SUCCESS_DESC ERROR_DESC("The operation completed successfully.\\r\\n\\n(0x00000000)")

TEST(CliCall, PrintsOneLinePerCallAndExitsWithTheWorstOutcome) {
  const char kBase[] = "'Microsoft Base Cryptographic Provider v1.0'";
  const struct {
    std::string env, args;
    int code;
    std::string out;
  } kRows[] = {
      // Selections persist across the calls of one control.
      {"LANG=C",
       std::string("call ZENQ_SetCSPInfo 1024 ") + kBase + " -- ZENQ_SetCSPInfo 2048 " + kBase +
           " -- GetLastErrorDesc -- ZENQ_GetContainer -- GetLastErrorDesc",
       1,
       OK_LINE("ZENQ_SetCSPInfo", "true")
       "{\"method\":\"ZENQ_SetCSPInfo\",\"hr\":\"0xa0072400\",\"result\":null}\n"
       ERROR_DESC("Key length is not supported.\\n(0xa0072400)")
       OK_LINE("ZENQ_GetContainer", "\"\"") SUCCESS_DESC},
      // An unknown method is reported as a script engine would.
      {"LANG=C", "call ZENQ_NoSuchMethod", 1,
       "{\"method\":\"ZENQ_NoSuchMethod\",\"hr\":\"0x80020006\",\"result\":null}\n"},
      {"", "call -- GetLastErrorDesc", 2, ""},
      {"", "frobnicate", 2, ""},
  };
  for (const auto& row : kRows) {
    ScopedSoftHomes homes;
    std::string out;
    EXPECT_EQ(row.code, Cli(row.env, row.args, &out)) << row.args;
    EXPECT_EQ(row.out, out) << row.args;
  }
}

}  // namespace
