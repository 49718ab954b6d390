// Installation end to end: a page drives the control, the test authority
// answers, and the result is checked from outside with `keyloom key list`,
// `store list` and `key verify`, and OpenSSL for the certificates' keys.
// Also enrollments cut short at each write to the home.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "integration/Enrollment.h"
#include "platform/soft/registry/SoftDatabase.h"
#include "support/Base64Text.h"
#include "support/ChildProcess.h"
#include "support/CryptTestSupport.h"
#include "support/DerTestSupport.h"
#include "support/FaultVfs.h"
#include "support/KeyList.h"
#include "support/ScriptHost.h"

namespace {

// How often `needle` appears in `keyloom store list My`.
int InMy(const std::string& needle) {
  std::string out;
  EXPECT_EQ(RunCommand(KEYLOOM_CLI_PATH " store list My", &out), 0);
  return Count(out, needle);
}

testca::EnvelopeRequest Request(testca::Alg alg, const Bytes& temporaryKey, int bits) {
  testca::EnvelopeRequest request;
  request.alg = alg;
  request.temporaryKey = temporaryKey;
  request.bits = bits;
  request.subject = kSubject;
  return request;
}

testca::EnvelopeResult Envelope(const testca::EnvelopeRequest& request) {
  testca::EnvelopeResult result;
  std::string error;
  EXPECT_TRUE(testca::MakeEnvelope(Authority(), request, &result, &error)) << error;
  return result;
}

struct EnrollmentCase {
  const char* name;
  const char* provider;
  const char* algorithm;
  int bits;
  bool linkedFromMy;  // Microsoft providers link from "My"; tokens keep the certificates
  size_t commas;      // the authority breaks its Base64 texts every N characters
};

class DoubleEnrollment : public ::testing::TestWithParam<EnrollmentCase> {};

// Both certificates installed, each on its key of the container.
TEST_P(DoubleEnrollment, InstallsBothCertificatesOnTheRightKeys) {
  const EnrollmentCase& c = GetParam();
  ScopedSoftHomes homes;
  ScriptHost page;
  Enrollment e;
  ASSERT_TRUE(Prepare(page, c.provider, c.algorithm, c.bits, &e, c.commas));
  const ScriptResult imported = page.Call(
      "ZENQ_ImportEncryptCert", {e.envelope.envelope, e.envelope.certificate, e.container, "0"});
  ASSERT_EQ(imported.hr, S_OK) << page.Call("GetLastErrorDesc").text;
  EXPECT_TRUE(imported.flag);

  const std::vector<ListedKey> keys = ListedKeys(e.container);
  const ListedKey* signature = FindKey(keys, "signature");
  const ListedKey* exchange = FindKey(keys, "exchange");
  ASSERT_TRUE(signature && exchange) << keys.size() << " keys";
  EXPECT_EQ(signature->spki, CertificateSpki(e.signing));
  EXPECT_EQ(exchange->spki, I2d(e.envelope.key.get(), i2d_PUBKEY));
  if (c.linkedFromMy) {
    EXPECT_EQ(InMy("\"container\":\"" + e.container + "\""), 2);
    EXPECT_TRUE(signature->certificate.empty() && exchange->certificate.empty());
  } else {
    EXPECT_EQ(InMy("\"thumbprint\""), 0);
    EXPECT_EQ(signature->certificate, e.signing);
    EXPECT_EQ(exchange->certificate, e.envelope.certificateDer);
  }
  ExpectKeyVerifies(c.provider, e.container, 2);
}

const EnrollmentCase kEnrollments[] = {
    {"Enhanced_RSA2048_Plain_Commas", kEnhancedName, "RSA", 2048, true, 7},
    {"RsaToken_RSA2048_Encrypted_Commas", kRsaTokenName, "RSA", 2048, false, 1},
    {"Sm2Token_SM2_Encrypted_Commas", kSm2TokenName, "SM2", 256, false, 13},
};

INSTANTIATE_TEST_SUITE_P(Providers, DoubleEnrollment, ::testing::ValuesIn(kEnrollments),
                         [](const auto& info) { return std::string(info.param.name); });

// The temporary key of ZENQ_GetTempPublickey (RSA: one line of an
// RSAPublicKey; SM2: the authority's form) is the container's exchange key:
// the envelope made for it installs, and the installed key is the
// authority's as it is, public exponent 3 included. The container is named
// with surrounding spaces, which both the import and ZENQ_GetContainer drop.
TEST(TemporaryKeyImport, InstallsIntoTheNamedContainer) {
  const struct { const char* provider; int bits; unsigned long exponent; } rows[] = {
      {kEnhancedName, 1024, 65537}, {kSm2TokenName, 256, 0}, {kEnhancedName, 2048, 3}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bits);
    const bool sm2 = row.provider == kSm2TokenName;
    ScopedSoftHomes homes;
    ScriptHost page;
    ASSERT_TRUE(page.Select(std::to_string(row.bits), row.provider, sm2 ? "SM2" : "RSA"));
    const ScriptResult temp = page.Call("ZENQ_GetTempPublickey");
    ASSERT_EQ(temp.hr, S_OK);
    const std::string container = page.Call("ZENQ_GetContainer").text;
    if (!sm2) {  // one line
      EXPECT_EQ(temp.text.find_first_of("\r\n"), std::string::npos);
    }
    testca::EnvelopeRequest answer =
        Request(sm2 ? testca::Alg::kSm2 : testca::Alg::kRsa, Unbase64(temp.text), row.bits);
    answer.sm2SessionType = 306;
    if (row.exponent) answer.exponent = row.exponent;
    const testca::EnvelopeResult envelope = Envelope(answer);
    ASSERT_EQ(page.Call("ZENQ_ImportEncryptCert", {envelope.envelope, envelope.certificate,
                                                   "  " + container + "  ", "0"}).hr, S_OK)
        << page.Call("GetLastErrorDesc").text;
    EXPECT_EQ(page.Call("ZENQ_GetContainer").text, container);
    const std::vector<ListedKey> keys = ListedKeys(container);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].spki, I2d(envelope.key.get(), i2d_PUBKEY));
    ExpectKeyVerifies(row.provider, container, 1);
  }
}

// The envelope cut at its fields, to be damaged one piece at a time:
// three 16-character header numbers, then two length-prefixed fields.
struct EnvelopePieces {
  std::string device, encrypt, session, sessionField, keyField;
  std::string Join() const {
    char l1[17], l2[17];
    std::snprintf(l1, sizeof l1, "%016zu", sessionField.size());
    std::snprintf(l2, sizeof l2, "%016zu", keyField.size());
    return device + encrypt + session + l1 + sessionField + l2 + keyField;
  }
};

EnvelopePieces Cut(const std::string& e) {
  EnvelopePieces p{e.substr(0, 16), e.substr(16, 16), e.substr(32, 16), "", ""};
  const size_t l1 = std::stoul(e.substr(48, 16));
  p.sessionField = e.substr(64, l1);
  p.keyField = e.substr(80 + l1, std::stoul(e.substr(64 + l1, 16)));
  return p;
}

// A field: SEQUENCE { INTEGER 1, OCTET STRING key } in Base64 with its comma.
std::string Field(const Bytes& key) {
  return testca::Base64Field(Tlv(0x30, {Tlv(0x02, {{0x01}}), Tlv(0x04, {key})}), 0, true);
}

// The 3DES key `session` encrypted to the RSAPublicKey `temporaryKey`
// (PKCS#1 v1.5, big-endian as the authority sends it).
Bytes WrapForTemporaryKey(const Bytes& temporaryKey, const Bytes& session) {
  const unsigned char* p = temporaryKey.data();
  const Pkey key(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(temporaryKey.size())));
  return PkeyEncrypt(key.get(), session, RSA_PKCS1_PADDING);
}

struct BadInput {
  const char* name;
  HRESULT expected;
  // Damages the envelope pieces or the certificate text; returns the
  // envelope to send.
  std::string (*damage)(EnvelopePieces& p, std::string& certificate, const Bytes& temporaryKey);
};

const BadInput kBadInputs[] = {
    {"device type 3", static_cast<HRESULT>(0xA0071404),
     [](EnvelopePieces& p, std::string&, const Bytes&) { p.device = "0000000000000003"; p.encrypt = "0000000000000000"; return p.Join(); }},
    {"encrypt type 0", static_cast<HRESULT>(0xA0071405),
     [](EnvelopePieces& p, std::string&, const Bytes&) { p.encrypt = "0000000000000000"; return p.Join(); }},
    {"session type 0 in the plain format", static_cast<HRESULT>(0xA0071406),
     [](EnvelopePieces& p, std::string&, const Bytes&) { p.session = "0000000000000000"; return p.Join(); }},
    {"a length beyond the text", static_cast<HRESULT>(0xA0071403),
     [](EnvelopePieces& p, std::string&, const Bytes&) {
       const std::string e = p.Join();
       return e.substr(0, e.size() - p.keyField.size() - 16) + "0000000000009999" + p.keyField;
     }},
    {"a missing final comma", static_cast<HRESULT>(0xA0071403),
     [](EnvelopePieces& p, std::string&, const Bytes&) { p.keyField.back() = 'A'; return p.Join(); }},
    {"a SEQUENCE of three", static_cast<HRESULT>(0xA0071403),
     [](EnvelopePieces& p, std::string&, const Bytes&) {
       // SEQUENCE { INTEGER 1, OCTET STRING AA, INTEGER 0 }
       p.sessionField = testca::Base64Field(FromHex("30 09 02 01 01 04 01 AA 02 01 00"), 0, true);
       return p.Join();
     }},
    {"a text shorter than 48 characters", static_cast<HRESULT>(0xA0071403),
     [](EnvelopePieces& p, std::string&, const Bytes&) { return p.Join().substr(0, 47); }},
    {"a certificate that is not Base64", static_cast<HRESULT>(0xA0071403),
     [](EnvelopePieces& p, std::string& certificate, const Bytes&) { certificate = "MII*not Base64*"; return p.Join(); }},
    {"a private key with wrong 3DES padding", static_cast<HRESULT>(0x80090005),  // NTE_BAD_DATA
     [](EnvelopePieces& p, std::string&, const Bytes& temporaryKey) {
       const Bytes session = FromHex("0123456789ABCDEF FEDCBA9876543210 89ABCDEF01234567");
       p.sessionField = Field(WrapForTemporaryKey(temporaryKey, session));
       // two 3DES-ECB blocks whose last octet (0x09) is no PKCS#5 padding
       p.keyField = Field(Encipher(EVP_des_ede3_ecb(), session,
                                   FromHex("30 03 02 01 00 AA BB CC  DD EE FF 11 22 33 44 09"), false));
       return p.Join();
     }},
};

// Bad input changes nothing: each damaged envelope or certificate gets its
// code, and the container still holds its temporary key, alone, while the
// user's "My" store stays empty. A key of another length than the
// configured one fails too.
TEST(TemporaryKeyImport, BadInputChangesNothing) {
  ScopedSoftHomes homes;
  ScriptHost page;
  ASSERT_TRUE(page.Select("1024", kEnhancedName, "RSA"));
  const ScriptResult temp = page.Call("ZENQ_GetTempPublickey");
  ASSERT_EQ(temp.hr, S_OK);
  const std::string container = page.Call("ZENQ_GetContainer").text;
  const Bytes temporaryKey = Unbase64(temp.text);
  const std::vector<ListedKey> before = ListedKeys(container);
  ASSERT_EQ(before.size(), 1u);
  const testca::EnvelopeResult good = Envelope(Request(testca::Alg::kRsa, temporaryKey, 1024));

  auto expectUnchanged = [&](const std::string& what) {
    const std::vector<ListedKey> after = ListedKeys(container);
    ASSERT_EQ(after.size(), 1u) << what;
    EXPECT_EQ(after[0].spki, before[0].spki) << what;
    EXPECT_EQ(InMy("\"thumbprint\""), 0) << what;
  };
  for (const BadInput& bad : kBadInputs) {
    EnvelopePieces pieces = Cut(good.envelope);
    std::string certificate = good.certificate;
    const std::string envelope = bad.damage(pieces, certificate, temporaryKey);
    const ScriptResult r = page.Call("ZENQ_ImportEncryptCert", {envelope, certificate, container, "0"});
    EXPECT_EQ(r.hr, bad.expected) << bad.name;
    expectUnchanged(bad.name);
  }
  const testca::EnvelopeResult longer = Envelope(Request(testca::Alg::kRsa, temporaryKey, 2048));
  EXPECT_EQ(page.Call("ZENQ_ImportEncryptCert", {longer.envelope, longer.certificate, container, "0"}).hr,
            static_cast<HRESULT>(0xA0071403));
  expectUnchanged("a 2048-bit key while 1024 bits are configured");

  // The undamaged envelope still installs afterwards.
  ASSERT_EQ(page.Call("ZENQ_ImportEncryptCert", {good.envelope, good.certificate, container, "0"}).hr, S_OK);
  EXPECT_EQ(ListedKeys(container)[0].spki, I2d(good.key.get(), i2d_PUBKEY));
}

// Enrollments cut short at each write to the home (as by kill -9): every
// container stays as before the call or after it; a retried import succeeds.

HRESULT Import(ScriptHost& page, const Enrollment& e) {
  return page.Call("ZENQ_ImportEncryptCert",
                   {e.envelope.envelope, e.envelope.certificate, e.container, "0"}).hr;
}

Bytes Spki(const ListedKey* key) { return key ? key->spki : Bytes(); }

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
  const char* name;
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

// Each container `keyloom key list` shows (a line each) holds both keys.
void ExpectOnlyWholeContainers(uint64_t n) {
  std::string out;
  ASSERT_EQ(RunCommand(KEYLOOM_CLI_PATH " key list", &out), 0) << "write " << n << "\n" << out;
  EXPECT_EQ(Count(out, "\"spec\""), 2 * Count(out, "\n")) << "write " << n << "\n" << out;
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
  const std::filesystem::path home = homes.user(), saved = homes.root() + "/saved";
  std::filesystem::copy(home, saved, std::filesystem::copy_options::recursive);
  const Bytes authority = CertificateSpki(e.envelope.certificateDer);
  const bool token = std::string(c.provider) != kEnhancedName;
  for (uint64_t n = 1; n < 200; ++n) {
    SCOPED_TRACE("write " + std::to_string(n));
    SoftCloseDatabases();
    std::filesystem::remove_all(home);
    std::filesystem::copy(saved, home, std::filesystem::copy_options::recursive);
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
                         ::testing::Values(Case{kEnhancedName, "RSA", 1024, "Enhanced1024"},
                                           Case{kRsaTokenName, "RSA", 1024, "RsaToken1024"},
                                           Case{kSm2TokenName, "SM2", 256, "Sm2Token256"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
