// `keyloom store list`: each certificate's fields as `openssl x509` reads
// them from the same DER, the key link of a linked certificate, and which
// stores exist.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "support/CryptTestSupport.h"
#include "support/StoreHelpers.h"
#include "support/TestSupport.h"

namespace {

using StoreListTest = SoftHomesTest;

std::set<std::string> Lines(const std::string& text) {
  std::set<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.insert(line);
  return lines;
}

// The listing's line for `der` built from OpenSSL's fields: the SHA-1
// fingerprint without colons, names in RFC 2253 order with ", " between
// parts, dates with "T".
std::string OpenSslLine(const Bytes& der, const std::string& path, const std::string& keyJson) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(der.data()), static_cast<long>(der.size()));
  std::string out, line = "{";
  EXPECT_EQ(0, RunCommand("openssl x509 -inform DER -in " + path + " -noout -fingerprint -sha1 -nameopt RFC2253 "
                              "-subject -issuer -serial -dateopt iso_8601 -startdate -enddate", &out));
  const char* kNames[] = {"thumbprint", "subject", "issuer", "serial", "notBefore", "notAfter"};
  std::istringstream fields(out);
  for (int i = 0; i < 6; ++i) {
    std::string field, value;
    std::getline(fields, field);
    for (char c : field.substr(field.find('=') + 1)) {
      if (i == 0 && c == ':') continue;
      value.push_back(i > 3 && c == ' ' ? 'T' : c);
      if ((i == 1 || i == 2) && c == ',') value.push_back(' ');
    }
    line.append("\"").append(kNames[i]).append("\":\"").append(value).append("\",");
  }
  return line + "\"key\":" + keyJson + "}";
}

TEST_F(StoreListTest, FieldsAgreeWithOpenSslAndTheLinkIsShown) {
  const std::u16string container = UniqueContainer("listed");
  Prov prov;
  Key exchange;
  ASSERT_TRUE(prov.Acquire(container.c_str(), kEnhanced, CRYPT_NEWKEYSET));
  ASSERT_TRUE(Plat().CryptGenKey(prov.h, AT_KEYEXCHANGE, 1024 << 16, &exchange.h));
  Pkey exchangeKey = RsaFromPublicBlob(ExportKey(exchange.h, PUBLICKEYBLOB));
  const PkiCert root = MakeCert(PkiAlg::kRsaSha256, {{{"C", "CN"}, {"O", "Keyloom Test"}, {"CN", "Root"}}, 1}, nullptr);
  const struct { PkiCert cert; std::string keyJson; } kRows[] = {
      {MakeCert(PkiAlg::kRsaSha256, {{{"C", "CN"}, {"O", "Keyloom Test"}, {"CN", "linked"}}, 0x7A3B01, -1, 30, false,
                                     exchangeKey.get()}, &root),
       "{\"provider\":\"Microsoft Enhanced Cryptographic Provider v1.0\",\"container\":\"" + Narrow(container.c_str()) +
           "\",\"spec\":\"exchange\"}"},
      {MakeCert(PkiAlg::kSm2, {{{"C", "CN"}, {"CN", "unlinked"}}, 0x1234567890L, -2, 3650, false}, nullptr), "null"},
  };
  ASSERT_TRUE(AddToMy(kRows[0].cert.der, container, kEnhanced) && AddToMy(kRows[1].cert.der));

  std::string out;
  ASSERT_EQ(0, RunCommand(KEYLOOM_CLI_PATH " store list My", &out));
  std::set<std::string> expected;  // in the store's own order (here by thumbprint)
  for (const auto& row : kRows) expected.insert(OpenSslLine(row.cert.der, homes_.temp() + "/c.der", row.keyJson));
  EXPECT_EQ(expected, Lines(out));
}

TEST_F(StoreListTest, PredefinedStoresListEmptyAndNothingIsCreated) {
  const struct { const char* args; int exit; } kRows[] = {
      {"store list My", 0}, {"store list --machine root", 0}, {"store list NoSuchStore", 1}, {"store list", 2},
  };
  for (const auto& row : kRows) {
    std::string out;
    EXPECT_EQ(row.exit, RunCommand(std::string(KEYLOOM_CLI_PATH " ") + row.args + " 2>/dev/null", &out)) << row.args;
    EXPECT_EQ("", out) << row.args;
  }
  EXPECT_EQ(nullptr, OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG, u"NoSuchStore"));
}

}  // namespace
