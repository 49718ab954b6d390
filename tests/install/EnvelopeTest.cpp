// The envelope readers on hand-made envelopes: each row gives the text and
// format and the result: the failing step as a trace consumer sees it, or
// keys that are exactly the octets put in.
#include <gtest/gtest.h>

#include "encoding/Buffer.h"
#include "install/Envelope.h"
#include "install/InstallTestSupport.h"

namespace {

constexpr HRESULT kBad = static_cast<HRESULT>(0xA0071403);
// SEQUENCE { INTEGER 1, OCTET STRING "session!" }
const Bytes kSessionDer = {0x30, 0x0D, 0x02, 0x01, 0x01, 0x04, 0x08,
                           's', 'e', 's', 's', 'i', 'o', 'n', '!'};
// SEQUENCE { INTEGER 2, OCTET STRING "wrapped key" }
const Bytes kPrivateDer = {0x30, 0x10, 0x02, 0x01, 0x02, 0x04, 0x0B, 'w', 'r',
                           'a',  'p',  'p',  'e',  'd',  ' ',  'k',  'e', 'y'};
// SEQUENCE { INTEGER 1, OCTET STRING "ab", OCTET STRING "c" }
const Bytes kThreeDer = {0x30, 0x0A, 0x02, 0x01, 0x01, 0x04, 0x02, 'a', 'b', 0x04, 0x01, 'c'};

std::string N(long long n) {  // a number field
  char text[32];
  std::snprintf(text, sizeof text, "%016lld", n);
  return text;
}
// A field: its length, then Base64 with a comma every `every` characters and at the end.
std::string F(const Bytes& der, size_t every = 0) {
  const std::string text = testca::Base64Field(der, every, true);
  return N(static_cast<long long>(text.size())) + text;
}

TEST(Envelope, ReadersTable) {
  const std::string h = N(1) + N(1) + N(306), h0 = N(2) + N(2) + N(0);
  const std::string keys = F(kSessionDer) + F(kPrivateDer);
  const std::string p64 = testca::Base64Field(kPrivateDer, 0, true);
  const HRESULT kDevice = static_cast<HRESULT>(0xA0071404);
  const HRESULT kEncrypt = kDevice + 1, kSession = kDevice + 2;
  const struct {
    std::string text;
    bool ex;  // the encrypted format's reader
    HRESULT hr;
    const char* step;
    ALG_ID alg;
  } rows[] = {
      {h + keys, false, S_OK, "", CALG_3DES},
      {h + keys, true, S_OK, "", CALG_3DES},
      {"               1+000000000000002             306" + keys, false, S_OK, "", CALG_3DES},
      {h + F(kSessionDer, 1) + F(kPrivateDer, 5), false, S_OK, "", CALG_3DES},
      {h + keys + "0000000000000099xyz", false, S_OK, "", CALG_3DES},
      {N(3) + N(0) + N(306) + keys, false, kDevice, "Invalid device type", 0},
      {N(1) + N(0) + N(306) + keys, false, kEncrypt, "Invalid encrypt type", 0},
      {h0 + keys, false, kSession, "Invalid session key type", 0},
      {h0 + N(4) + "*!*," + F(kPrivateDer), true, S_OK, "", 0},  // read, never decoded
      {h0 + N(0) + F(kPrivateDer), true, S_OK, "", 0},
      {N(9) + N(1) + "306", false, kBad, "ASN1Obj - Check encrypted data size.", 0},
      {h, false, kBad, "EncryptedData - Check encrypted data size.", 0},
      {h + F(kSessionDer) + "000000000000", false, kBad, "Data - Check encrypted data size.", 0},
      {h + F(kSessionDer) + N(p64.size() + 1) + p64, false, kBad, "key's length is wrong", 0},
      {h + "9999999999999999" + std::string(40, 'A'), false, kBad, "key's length is wrong", 0},
      {h + "-000000000000004AAA," + F(kPrivateDer), false, kBad, "key's length is wrong", 0},
      {h + N(4) + "MA0C" + F(kPrivateDer), false, kBad, "Check endl character", 0},
      {h + N(0) + F(kPrivateDer), false, E_FAIL, "base64 decode session key FAILED.", 0},
      {h + F(kSessionDer) + F(kThreeDer), false, kBad, "Level 1: 2 nodes", 0},
      {h + N(4) + "!!!," + F(kPrivateDer), false, kBad, "FromASN1Obj - DecodeASN1Memory", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    ScopedTraceRecorder consumer(0xF);
    ALG_ID alg = 1;
    BYTE *session = nullptr, *key = nullptr;
    DWORD sessionLength = 1, keyLength = 1;
    const auto parse = row.ex ? ParseEncryptCertPrivateKeyDataEx : ParseEncryptCertPrivateKeyData;
    const HRESULT hr = parse(Wide(row.text), &alg, &session, &sessionLength, &key, &keyLength);
    const ScopedBuffer<> sessionHolder(session), keyHolder(key);
    EXPECT_EQ(hr, row.hr);
    EXPECT_TRUE(hr == S_OK || HasStep(row.step, row.hr)) << row.step;
    EXPECT_EQ(alg, row.alg);
    const bool both = hr == S_OK && alg == CALG_3DES;
    EXPECT_EQ(Bytes(session, session + sessionLength),
              both ? Bytes(kSessionDer.begin() + 7, kSessionDer.end()) : Bytes());
    EXPECT_EQ(Bytes(key, key + keyLength),
              hr == S_OK ? Bytes(kPrivateDer.begin() + 7, kPrivateDer.end()) : Bytes());
  }
}

TEST(Envelope, NumbersReadAsTheWideStringConversion) {
  const struct {
    const char16_t* text;
    size_t count;
    LONG value;
  } rows[] = {{u"\t\n\v\f\r 42", 8, 42}, {u"+12abc", 6, 12}, {u"-5", 2, -5}, {u"- 5", 3, 0},
              {u"", 0, 0}, {u"12345", 3, 123}, {u"2147483648", 10, 2147483647},
              {u"-2147483648", 11, -2147483647 - 1}, {u"-999999999999999", 16, -2147483647 - 1}};
  for (const auto& row : rows)
    EXPECT_EQ(ReadEnvelopeNumber(row.text, row.count), row.value) << Narrow(row.text);
}

}  // namespace
