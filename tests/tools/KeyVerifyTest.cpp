// `keyloom key verify`: whole key pairs hold, a bound certificate of another
// key fails, and a public half that is not the private key's is found.
// `keyloom store list`: each certificate's fields as `openssl x509` reads
// them, the key link of a linked certificate, and which stores exist.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "keyloom/KeyVerify.h"
#include "support/CryptTestSupport.h"
#include "support/FaultPlatform.h"
#include "support/StoreHelpers.h"

namespace {

using KeyVerifyTest = SoftHomesTest;

// A new container of `provider` with an exchange and a signature key.
struct TwoKeys {
  std::u16string name = UniqueContainer("verify");
  Prov prov;
  Key exchange, signature;
  explicit TwoKeys(const char16_t* provider) {
    EXPECT_TRUE(prov.Acquire(name.c_str(), provider, CRYPT_NEWKEYSET) &&
                Plat().CryptGenKey(prov.h, AT_KEYEXCHANGE, 1024 << 16, &exchange.h) &&
                Plat().CryptGenKey(prov.h, AT_SIGNATURE, 1024 << 16, &signature.h));
  }
};

// The replacements answer the other container's keys.
struct { const Platform* forward; HCRYPTPROV prov; HCRYPTKEY exchange; } gOther;
BOOL OtherKeyInfo(HCRYPTPROV, DWORD spec, DWORD encoding, CERT_PUBLIC_KEY_INFO* info, DWORD* length) {
  return gOther.forward->CryptExportPublicKeyInfo(gOther.prov, spec, encoding, info, length);
}
BOOL OtherKeyBlob(HCRYPTKEY, HCRYPTKEY wrap, DWORD type, DWORD flags, BYTE* data, DWORD* length) {
  return gOther.forward->CryptExportKey(gOther.exchange, wrap, type, flags, data, length);
}

TEST_F(KeyVerifyTest, EachKeyPairAndTheBoundCertificateAreChecked) {
  // The exchange key's certificate is of its own key or of a fresh RSA key,
  // stored with it or linked from "My" (tokens refuse another key's); or an
  // export answers the other container's key instead.
  enum Case { kOwnInMy, kOwnStored, kOtherInMy, kOtherInfo, kOtherBlob };
  const struct { const char16_t* provider; Case c; bool exchangeHolds; const char* certificate;
                 bool signatureHolds; int exit; } kRows[] = {
      {kEnhanced, kOwnInMy, true, "true", true, 0},   {kSm2Token, kOwnStored, true, "true", true, 0},
      {kEnhanced, kOtherInMy, true, "false", true, 1}, {kRsaToken, kOtherInMy, true, "false", true, 1},
      {kEnhanced, kOtherInfo, false, "null", false, 1},
      {kEnhanced, kOtherBlob, false, "null", true, 1},  // RSA: only the encryption round trip reads the blob
      {kSm2Token, kOtherBlob, false, "null", false, 1},  // SM2: the public point comes from the blob
  };
  const auto line = [](const char* spec, bool holds, const char* certificate) {
    return std::string("{\"spec\":\"") + spec + "\",\"publicKeyMatchesPrivate\":" + (holds ? "true" : "false") +
           ",\"certificateMatches\":" + certificate + "}\n";
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(testing::Message() << Narrow(row.provider) << ", case " << row.c);
    TwoKeys mine(row.provider), other(row.provider);
    const Bytes blob = ExportKey(mine.exchange.h, PUBLICKEYBLOB);
    const Pkey key = row.c == kOtherInMy ? Pkey(EVP_RSA_gen(1024))
                     : row.provider == kSm2Token ? Sm2FromPublicBlob(blob) : RsaFromPublicBlob(blob);
    const Bytes der = CertOfKey(key.get());
    ASSERT_TRUE(row.c == kOwnStored ? Plat().CryptSetKeyParam(mine.exchange.h, KP_CERTIFICATE, der.data(), 0)
                                    : row.c > kOtherInMy || AddToMy(der, mine.name, row.provider));
    FaultPlatform platform;
    const Platform original = platform.table;
    gOther = {&original, other.prov.h, other.exchange.h};
    if (row.c == kOtherInfo) platform.table.CryptExportPublicKeyInfo = &OtherKeyInfo;
    if (row.c == kOtherBlob) platform.table.CryptExportKey = &OtherKeyBlob;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();  // a mismatch is a result, not a failure
    EXPECT_EQ(row.exit, RunKeyVerify(row.provider, PROV_RSA_FULL, mine.name));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ(line("exchange", row.exchangeHolds, row.certificate) + line("signature", row.signatureHolds, "null"),
              testing::internal::GetCapturedStdout());
  }
}

using StoreListTest = SoftHomesTest;

// The listing's line for `der` (written to `path`) built from OpenSSL's
// fields: the SHA-1 fingerprint without colons, names in RFC 2253 order
// with ", " between parts, dates with "T".
std::string OpenSslLine(const Bytes& der, const std::string& path, const std::string& keyJson) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(der.data()), static_cast<long>(der.size()));
  std::string out, field, line = "{";
  EXPECT_EQ(0, RunCommand("openssl x509 -inform DER -in " + path + " -noout -fingerprint -sha1 -nameopt RFC2253 "
                              "-subject -issuer -serial -dateopt iso_8601 -startdate -enddate", &out));
  const char* kNames[] = {"thumbprint", "subject", "issuer", "serial", "notBefore", "notAfter"};
  std::istringstream fields(out);
  for (int i = 0; i < 6 && std::getline(fields, field); ++i) {
    line.append("\"").append(kNames[i]).append("\":\"");
    for (char c : field.substr(field.find('=') + 1)) {
      if (i == 0 && c == ':') continue;
      line.push_back(i > 3 && c == ' ' ? 'T' : c);
      if ((i == 1 || i == 2) && c == ',') line.push_back(' ');
    }
    line.append("\",");
  }
  return line + "\"key\":" + keyJson + "}";
}

TEST_F(StoreListTest, FieldsAgreeWithOpenSslAndOnlyExistingStoresList) {
  // Predefined stores list empty; one that does not exist fails and is not created.
  for (const auto& [args, exit] : {std::pair{"My", 0}, {"--machine root", 0}, {"NoSuchStore", 1}, {"", 2}}) {
    std::string out;
    EXPECT_EQ(exit, RunCommand(std::string(KEYLOOM_CLI_PATH " store list ") + args + " 2>/dev/null", &out)) << args;
    EXPECT_EQ("", out) << args;
  }
  EXPECT_EQ(nullptr, OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG, u"NoSuchStore"));

  const std::u16string container = UniqueContainer("listed");
  Prov prov;
  Key exchange;
  ASSERT_TRUE(prov.Acquire(container.c_str(), kEnhanced, CRYPT_NEWKEYSET) &&
              Plat().CryptGenKey(prov.h, AT_KEYEXCHANGE, 1024 << 16, &exchange.h));
  const Pkey exchangeKey = RsaFromPublicBlob(ExportKey(exchange.h, PUBLICKEYBLOB));
  const PkiCert root = MakeCert(PkiAlg::kRsaSha256, {{{"C", "CN"}, {"O", "Keyloom Test"}, {"CN", "Root"}}, 1}, nullptr);
  const PkiCert linked = MakeCert(PkiAlg::kRsaSha256, {{{"C", "CN"}, {"O", "Keyloom Test"}, {"CN", "linked"}}, 0x7A3B01,
                                                       -1, 30, false, exchangeKey.get()}, &root);
  const PkiCert unlinked = MakeCert(PkiAlg::kSm2, {{{"C", "CN"}, {"CN", "unlinked"}}, 0x1234567890L, -2, 3650, false},
                                    nullptr);
  ASSERT_TRUE(AddToMy(linked.der, container, kEnhanced) && AddToMy(unlinked.der));
  const std::string path = homes_.temp() + "/c.der", link = "{\"provider\":\"" + Narrow(kEnhanced) +
                           "\",\"container\":\"" + Narrow(container.c_str()) + "\",\"spec\":\"exchange\"}";
  std::string out, expected;  // in the store's order, by thumbprint
  for (const std::string& line : std::set{OpenSslLine(linked.der, path, link), OpenSslLine(unlinked.der, path, "null")})
    expected += line + "\n";
  ASSERT_EQ(0, RunCommand(KEYLOOM_CLI_PATH " store list My", &out));
  EXPECT_EQ(expected, out);
}

}  // namespace
