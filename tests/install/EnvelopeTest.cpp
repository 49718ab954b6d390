// The envelope readers on hand-made envelopes and the format each provider
// and key takes.
#include <gtest/gtest.h>

#include "encoding/Buffer.h"
#include "install/EncryptCert.h"
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

std::string N(long long n) {  // a number field
  char text[32];
  return std::string(text, std::snprintf(text, sizeof text, "%016lld", n));
}
// A field: its length, then Base64 ending in a comma.
std::string F(const Bytes& der) {
  const std::string text = testca::Base64Field(der, 0, true);
  return N(static_cast<long long>(text.size())) + text;
}

TEST(Envelope, ReadersTable) {
  const std::string h = N(1) + N(1) + N(306), h0 = N(2) + N(2) + N(0);
  const std::string keys = F(kSessionDer) + F(kPrivateDer);
  // ex: the encrypted format's reader; step: the failing step's record.
  const struct { std::string text; bool ex; HRESULT hr; std::string step; ALG_ID alg; } rows[] = {
      {h + keys, false, S_OK, "", CALG_3DES},
      // Blanks and signs as wcstol reads them; text after the fields is not read.
      {"               1+000000000000002             306" + keys, true, S_OK, "", CALG_3DES},
      {h + keys + "0000000000000099xyz", false, S_OK, "", CALG_3DES},
      {h0 + N(4) + "*!*," + F(kPrivateDer), true, S_OK, "", 0},  // session type 0: not decoded
      {h, false, kBad, "GetBase64KeyFromEncryptedData - Check encrypted data size.", 0},
      {h + "-000000000000004AAA," + F(kPrivateDer), false, kBad,  // a negative length
       "GetBase64KeyFromEncryptedData - GetBase64KeyFromEncryptedData-key's length is wrong", 0},
      {h + N(0) + F(kPrivateDer), false, E_FAIL,  // an empty session field
       "GetSessionKeyandPrivateKeyASN1Obj - base64 decode session key FAILED.", 0},
      {h + N(4) + "!!!," + F(kPrivateDer), false, kBad,  // Base64 of no DER
       "GetSessionKeyorPrivateKeyFromASN1Obj - DecodeASN1Memory", 0},
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
    EXPECT_TRUE(row.step.empty() || HasStep(row.step, row.hr)) << row.step;
    EXPECT_EQ(alg, row.alg);
    EXPECT_EQ(Bytes(session, session + sessionLength),
              hr == S_OK && alg ? Bytes(kSessionDer.begin() + 7, kSessionDer.end()) : Bytes());
    EXPECT_EQ(Bytes(key, key + keyLength),
              hr == S_OK ? Bytes(kPrivateDer.begin() + 7, kPrivateDer.end()) : Bytes());
  }
}

// RSA in any case takes the plain format with a "Microsoft" provider (case
// counts) and with another at 1024 bits only; SM2 never. A certificate text
// that is no certificate stops either flow at once; its step names the flow.
TEST(Envelope, FormatChoice) {
  const struct { const char16_t *provider, *algorithm; DWORD bits; bool plain; } rows[] = {
      {kEnhanced, u"rsa", 2048, true},   {kRsaToken, u"RSA", 1024, true},
              {kRsaToken, u"RSA", 2048, false},  {kRsaToken, u"RSA", 512, false},
              {kEnhanced, u"SM2", 1024, false},  {u"a microsoft token", u"RSA", 2048, false}};
  for (const auto& row : rows) {
    ScopedTraceRecorder consumer(0xF);
    const HRESULT hr = ImportEncryptCertEx({u"0", u"MA==", row.provider, u"box", row.algorithm,
                                            row.bits, 0});
    EXPECT_EQ(hr, kBad);
    EXPECT_TRUE(HasStep(std::string("ImportEncryptCertEx - ImportEncryptCertEx-ImportEncryptCert") +
                            (row.plain ? "" : "ByEncryptedFormat"), hr))
        << Narrow(row.provider) << " " << row.bits;
  }
}

}  // namespace
