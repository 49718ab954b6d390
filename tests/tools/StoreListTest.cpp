// `keyloom store list`: each certificate's fields as `openssl x509` reads
// them, the key link of a linked certificate, and which stores exist.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "support/CryptTestSupport.h"
#include "support/StoreHelpers.h"

namespace {

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
