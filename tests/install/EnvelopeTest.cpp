// The envelope readers on hand-made envelopes: each row gives the text,
// the format, and the result, the failing step (as a trace consumer sees
// it) or the keys, which must be exactly the octets put in.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "encoding/Buffer.h"
#include "install/Envelope.h"
#include "support/TestPki.h"
#include "support/TraceRecorder.h"
#include "testca/TestCa.h"

namespace {

constexpr HRESULT kMalformed = static_cast<HRESULT>(0xA0071403);

// SEQUENCE { INTEGER 1, OCTET STRING "session!" }
const Bytes kSessionDer = {0x30, 0x0D, 0x02, 0x01, 0x01, 0x04, 0x08,
                           's', 'e', 's', 's', 'i', 'o', 'n', '!'};
// SEQUENCE { INTEGER 2, OCTET STRING "wrapped private key" }
const Bytes kPrivateDer = {0x30, 0x18, 0x02, 0x01, 0x02, 0x04, 0x13, 'w', 'r', 'a', 'p', 'p', 'e',
                           'd', ' ', 'p', 'r', 'i', 'v', 'a', 't', 'e', ' ', 'k', 'e', 'y'};
// SEQUENCE { INTEGER 1, OCTET STRING "ab", OCTET STRING "c" }
const Bytes kThreeDer = {0x30, 0x0A, 0x02, 0x01, 0x01, 0x04, 0x02, 'a', 'b', 0x04, 0x01, 'c'};
const Bytes kSession(kSessionDer.end() - 8, kSessionDer.end());
const Bytes kPrivate(kPrivateDer.end() - 19, kPrivateDer.end());

std::string Num(long long n) {
  char text[32];
  std::snprintf(text, sizeof text, "%016lld", n);
  return text;
}
// A field: its Base64 with the final comma (and one every `every`
// characters), after its 16-character length.
std::string Field(const Bytes& der, size_t every = 0) {
  const std::string text = testca::Base64Field(der, every, true);
  return Num(static_cast<long long>(text.size())) + text;
}
std::string Header(const char* device, const char* encrypt, const char* session) {
  return std::string(device) + encrypt + session;
}
const std::string k1 = Num(1), k306 = Num(306);
const std::string kGood = Header(k1.c_str(), k1.c_str(), k306.c_str()) + Field(kSessionDer) +
                          Field(kPrivateDer);

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Whether a step record "function - step = status" was written.
bool HasStep(const std::string& step) {
  for (const RecordedTrace& r : ScopedTraceRecorder::records())
    if (r.component == "TraceHelper" && (r.message == 13 || r.message == 14) &&
        r.args[0] + " = " + r.args[1].substr(2) == step)
      return true;
  return false;
}

TEST(Envelope, ReadersTable) {
  const std::string noSession = Header(Num(2).c_str(), Num(2).c_str(), Num(0).c_str());
  const std::string good = Header(k1.c_str(), k1.c_str(), k306.c_str());
  const struct {
    const char* what;
    std::string text;
    bool encrypted;
    HRESULT hr;
    const char* step;  // the failing step record, "" on success
    ALG_ID algorithm;
    bool sessionKey;   // success: whether the session key is handed out
  } rows[] = {
      {"1/1/306, two fields", kGood, false, S_OK, "", CALG_3DES, true},
      {"the same, encrypted format", kGood, true, S_OK, "", CALG_3DES, true},
      {"blank-padded and signed numbers",
       Header("               1", "+000000000000002", "             306") + Field(kSessionDer) +
           Field(kPrivateDer),
       false, S_OK, "", CALG_3DES, true},
      {"commas inside both fields",
       good + Field(kSessionDer, 1) + Field(kPrivateDer, 5), false, S_OK, "", CALG_3DES, true},
      {"characters after the private-key field", kGood + "0000000000000099xyz", false, S_OK, "",
       CALG_3DES, true},
      {"device type 3, read before the bad encrypt type",
       Header(Num(3).c_str(), Num(0).c_str(), k306.c_str()) + Field(kSessionDer) + Field(kPrivateDer),
       false, static_cast<HRESULT>(0xA0071404),
       "GetSessionKeyandPrivateKeyASN1Obj - Invalid device type of generating encrypt cert key. = "
       "a0071404", 0, false},
      {"device type -1", Header("-000000000000001", k1.c_str(), k306.c_str()), true,
       static_cast<HRESULT>(0xA0071404), "", 0, false},
      {"encrypt type 0", Header(k1.c_str(), Num(0).c_str(), k306.c_str()), false,
       static_cast<HRESULT>(0xA0071405),
       "GetSessionKeyandPrivateKeyASN1Obj - Invalid encrypt type used for encrypting private key. "
       "= a0071405", 0, false},
      {"session type 0, plain format", noSession + Field(kSessionDer) + Field(kPrivateDer), false,
       static_cast<HRESULT>(0xA0071406), "", 0, false},
      {"session type 0, encrypted format: the session field is read, not decoded",
       noSession + Num(4) + "*!*," + Field(kPrivateDer), true, S_OK, "", 0, false},
      {"session type 0, encrypted format, empty session field",
       noSession + Num(0) + Field(kPrivateDer), true, S_OK, "", 0, false},
      {"session type 0, encrypted format, session field past the text", noSession + Num(5) + "ab,",
       true, kMalformed,
       "GetBase64KeyFromEncryptedData - GetBase64KeyFromEncryptedData-key's length is wrong = "
       "a0071403", 0, false},
      {"session type 307, encrypted format", Header(k1.c_str(), k1.c_str(), Num(307).c_str()), true,
       static_cast<HRESULT>(0xA0071406), "", 0, false},
      {"text shorter than the header, device type 9", Num(9) + Num(1) + "306", false, kMalformed,
       "GetSessionKeyandPrivateKeyASN1Obj - Check encrypted data size. = a0071403", 0, false},
      {"header only", good, false, kMalformed,
       "GetBase64KeyFromEncryptedData - Check encrypted data size. = a0071403", 0, false},
      {"fewer than 16 characters for the second length", good + Field(kSessionDer) + "000000000000",
       false, kMalformed, "GetBase64KeyFromEncryptedData - Check encrypted data size. = a0071403",
       0, false},
      {"length one beyond the text",
       good + Field(kSessionDer) + Num(27) + testca::Base64Field(kPrivateDer, 0, true), false,
       kMalformed,
       "GetSessionKeyandPrivateKeyASN1Obj - get private key encoded with base64 = a0071403", 0,
       false},
      {"length of sixteen nines", good + "9999999999999999" + std::string(40, 'A'), false,
       kMalformed, "", 0, false},
      {"negative length", good + "-000000000000004" + "AAA," + Field(kPrivateDer), false,
       kMalformed, "", 0, false},
      {"final comma missing", good + Num(4) + "MA0C" + Field(kPrivateDer), false, kMalformed,
       "GetBase64KeyFromEncryptedData - Check endl character = a0071403", 0, false},
      {"empty session field, plain format", good + Num(0) + Field(kPrivateDer), false, E_FAIL,
       "GetSessionKeyandPrivateKeyASN1Obj - base64 decode session key FAILED. = 80004005", 0,
       false},
      {"SEQUENCE of three", good + Field(kSessionDer) + Field(kThreeDer), false, kMalformed,
       "GetSessionKeyorPrivateKeyFromASN1Obj - Level 1: 2 nodes(INTEGER and OCTET STRING can not "
       "be found = a0071403", 0, false},
      {"a field that decodes to nothing", good + Num(4) + "!!!," + Field(kPrivateDer), false,
       kMalformed, "GetSessionKeyorPrivateKeyFromASN1Obj - DecodeASN1Memory = a0071403", 0, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ScopedTraceRecorder consumer(0xF);
    ALG_ID algorithm = 1;
    BYTE *session = nullptr, *privateKey = nullptr;
    DWORD sessionLength = 1, privateLength = 1;
    const std::u16string text = Wide(row.text);
    const HRESULT hr =
        row.encrypted ? ParseEncryptCertPrivateKeyDataEx(text, &algorithm, &session,
                                                         &sessionLength, &privateKey, &privateLength)
                      : ParseEncryptCertPrivateKeyData(text, &algorithm, &session, &sessionLength,
                                                       &privateKey, &privateLength);
    const ScopedBuffer<> sessionHolder(session), privateHolder(privateKey);
    EXPECT_EQ(hr, row.hr);
    if (*row.step) {
      EXPECT_TRUE(HasStep(row.step)) << row.step;
    }
    EXPECT_EQ(algorithm, row.algorithm);
    EXPECT_EQ(Bytes(session, session + sessionLength), row.sessionKey ? kSession : Bytes());
    EXPECT_EQ(Bytes(privateKey, privateKey + privateLength), hr == S_OK ? kPrivate : Bytes());
  }
}

TEST(Envelope, EncryptedFormatKeepsTheSessionDerOutWhenNoSessionKey) {
  const std::u16string text =
      Wide(Header(k1.c_str(), k1.c_str(), Num(0).c_str()) + Field(kSessionDer) + Field(kPrivateDer));
  ALG_ID algorithm = 1;
  BYTE *session = nullptr, *privateDer = nullptr;
  DWORD sessionLength = 1, privateLength = 0;
  ASSERT_EQ(GetSessionKeyandPrivateKeyASN1ObjEx(text, &algorithm, &session, &sessionLength,
                                                &privateDer, &privateLength),
            S_OK);
  const ScopedBuffer<> holder(privateDer);
  EXPECT_EQ(algorithm, 0u);
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(sessionLength, 0u);
  EXPECT_EQ(Bytes(privateDer, privateDer + privateLength), kPrivateDer);
}

TEST(Envelope, NumbersReadAsTheWideStringConversion) {
  const struct {
    const char16_t* text;
    size_t count;
    LONG value;
  } rows[] = {
      {u"0000000000000306", 16, 306},         {u"             306", 16, 306},
      {u"\t\n\v\f\r 42", 8, 42},               {u"+12abc", 6, 12},
      {u"-5", 2, -5},                          {u"abc", 3, 0},
      {u"- 5", 3, 0},                          {u"", 0, 0},
      {u"12345", 3, 123},                      {u"2147483647", 10, 2147483647},
      {u"2147483648", 10, 2147483647},         {u"-2147483648", 11, -2147483647 - 1},
      {u"9999999999999999", 16, 2147483647},   {u"-999999999999999", 16, -2147483647 - 1},
  };
  for (const auto& row : rows)
    EXPECT_EQ(ReadEnvelopeNumber(row.text, row.count), row.value) << Narrow(row.text);
}

// A certificate text broken by commas decodes to the certificate OpenSSL
// reads; text that is no Base64 at all fails.
TEST(Envelope, CertificateTextWithCommas) {
  const Bytes der = MakeCert(PkiAlg::kRsaSha256, {}, nullptr).der;
  for (const size_t every : {0, 1, 7, 64}) {
    std::u16string text = Wide(testca::Base64Field(der, every, every != 0));
    BYTE* out = nullptr;
    DWORD length = 0;
    ASSERT_EQ(ParseEncryptCertPublicKeyCert(&text, &out, &length), S_OK);
    const ScopedBuffer<> holder(out);
    EXPECT_EQ(text.find(u','), std::u16string::npos);
    const Bytes decoded(out, out + length);
    EXPECT_EQ(decoded, der);
    EXPECT_NE(X509FromDer(decoded), nullptr);
  }
  std::u16string empty = u",,,";
  BYTE* out = nullptr;
  DWORD length = 0;
  EXPECT_EQ(ParseEncryptCertPublicKeyCert(&empty, &out, &length), E_FAIL);
  EXPECT_EQ(out, nullptr);
}

}  // namespace
