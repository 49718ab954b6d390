// The certificate listing, the chain documents of `testca chain-doc` read
// back with xmllint and OpenSSL, and `keyloom store delete`.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <ctime>
#include <algorithm>
#include <fstream>
#include <set>

#include "base/FileTime.h"
#include "store/CertificateInfo.h"
#include "support/FaultPlatform.h"
#include "support/ScriptHost.h"
#include "support/StoreHelpers.h"
#include "support/TestSupport.h"

namespace {

constexpr char kUtcPlus8[] = "UTC-8";  // POSIX form: eight hours east of UTC
constexpr char kEnhancedName[] = "Microsoft Enhanced Cryptographic Provider v1.0";

// The key-provider link the scripted property answers; none when null.
const char16_t* g_provider = nullptr;

BOOL ScriptedKeyProvInfo(PCCERT_CONTEXT, DWORD propId, void* data, DWORD* size) {
  struct Record {
    CRYPT_KEY_PROV_INFO info;
    char16_t name[64];
  };
  if (propId != CERT_KEY_PROV_INFO_PROP_ID || g_provider == nullptr) {
    Plat().SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return FALSE;
  }
  if (data == nullptr) return *size = sizeof(Record), TRUE;
  auto* record = static_cast<Record*>(data);
  for (size_t i = 0; g_provider[i] != 0; ++i) record->name[i] = g_provider[i];
  record->info.pwszProvName = W(record->name);
  return TRUE;
}

FILETIME UnixFileTime(int64_t seconds) { return FileTimeOfTicks(FileTimeTicksOfUnixTime(seconds)); }

// C=CN, CN=Test User (in that encoded order)
const Bytes kTestUser = {0x30, 0x21,
                         0x31, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55, 0x04, 0x06,  // SET SEQ 2.5.4.6
                         0x13, 0x02, 'C', 'N',                                  //   "CN"
                         0x31, 0x12, 0x30, 0x10, 0x06, 0x03, 0x55, 0x04, 0x03,  // SET SEQ 2.5.4.3
                         0x0C, 0x09, 'T', 'e', 's', 't', ' ', 'U', 's', 'e', 'r'};
// CN=a;b||c
const Bytes kSeparators = {0x30, 0x11, 0x31, 0x0F, 0x30, 0x0D, 0x06, 0x03, 0x55, 0x04, 0x03,
                           0x0C, 0x06, 'a', ';', 'b', '|', '|', 'c'};
constexpr int64_t k20200101 = 1577836800;  // 2020-01-01 00:00:00 UTC
constexpr int64_t k20201231 = 1609372800;  // 2020-12-31 00:00:00 UTC

// A record is subject;serial;from;to;provider. Times at UTC+8 with flag 4.
struct RecordRow {
  const Bytes* subject;
  Bytes serial;  // as the certificate holds it: least significant octet first
  DWORD flags;
  const char16_t* provider;
  const char* record;  // "" for a failure (CRYPT_E_NOT_FOUND)
};

#define KL_YEAR_2020 ";2020-01-01 00:00:00;2020-12-31 00:00:00;Keyloom SM2 Token Provider"
const RecordRow kRecords[] = {
    {&kTestUser, {0x02, 0x01}, 4, kEnhanced,  // serial 01 02, local time
     "CN=Test User, C=CN;0102;2020-01-01 08:00:00;2020-12-31 08:00:00;" "Microsoft Enhanced Cryptographic Provider v1.0"},
    {&kTestUser, {0x02, 0x01}, 0, kSm2Token, "CN=Test User, C=CN;0102" KL_YEAR_2020},  // UTC
    {&kTestUser, {0x11, 0x8A, 0x00}, 0, kSm2Token, "CN=Test User, C=CN;008a11" KL_YEAR_2020},  // 00 8A 11
    {&kTestUser, {0x11, 0x8A, 0x00}, 2, kSm2Token, "CN=Test User, C=CN;8a11" KL_YEAR_2020},
    {&kTestUser, {0x11, 0x8A, 0x00}, 1, kSm2Token, "CN=Test User, C=CN;008A11" KL_YEAR_2020},
    {&kTestUser, {0x11, 0x8A, 0x00}, 3, kSm2Token, "CN=Test User, C=CN;8A11" KL_YEAR_2020},
    {&kTestUser, {0x7F, 0x00}, 2, kSm2Token, "CN=Test User, C=CN;007f" KL_YEAR_2020},  // 00 7F: no sign byte
    {&kTestUser, {0x05}, 0, kSm2Token, "CN=Test User, C=CN;05" KL_YEAR_2020},          // 05
    {&kSeparators, {0x05}, 0, kSm2Token, "CN=a;b||c;05" KL_YEAR_2020},  // separators kept as they are
    {&kTestUser, {0x05}, 0, nullptr, ""},                                // no key-provider link
};
#undef KL_YEAR_2020

TEST(ListingTest, RecordsOfHandMadeCertificates) {
  FaultPlatform platform;
  platform.table.CertGetCertificateContextProperty = &ScriptedKeyProvInfo;
  ScopedEnv zone("TZ", kUtcPlus8);
  for (const RecordRow& row : kRecords) {
    g_provider = row.provider;
    Bytes subject = *row.subject, serial = row.serial;
    CERT_INFO info{};
    info.Subject = {static_cast<DWORD>(subject.size()), subject.data()};
    info.SerialNumber = {static_cast<DWORD>(serial.size()), serial.data()};
    info.NotBefore = UnixFileTime(k20200101);
    info.NotAfter = UnixFileTime(k20201231);
    CERT_CONTEXT context{};
    context.pCertInfo = &info;
    std::u16string record = u"stale";
    EXPECT_EQ(*row.record ? S_OK : CRYPT_E_NOT_FOUND, GetCertificateInfo(&context, &record, row.flags));
    EXPECT_EQ(row.record, Narrow(record.c_str()));
  }
  g_provider = nullptr;
}

using ListingStoreTest = SoftHomesTest;

// "YYYY-MM-DD hh:mm:ss" of an OpenSSL time moved by `offset` seconds.
std::string OpenSslTime(const ASN1_TIME* time, int offset) {
  struct tm tm {};
  EXPECT_EQ(1, ASN1_TIME_to_tm(time, &tm));
  const time_t moved = timegm(&tm) + offset;
  gmtime_r(&moved, &tm);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

// The record of `cert` built from OpenSSL's reading of it.
std::string ExpectedRecord(const PkiCert& cert, const std::string& subjectSerial, int offset,
                           const std::string& provider) {
  return subjectSerial + ";" + OpenSslTime(X509_get0_notBefore(cert.x509.get()), offset) + ";" +
         OpenSslTime(X509_get0_notAfter(cert.x509.get()), offset) + ";" + provider;
}

std::multiset<std::string> Records(const std::string& listing) {
  std::multiset<std::string> records;
  for (size_t at = 0, next; at <= listing.size(); at = next + 2) {
    next = listing.find("||", at);
    if (next == std::string::npos) next = listing.size();
    records.insert(listing.substr(at, next - at));
  }
  return records;
}

TEST_F(ListingStoreTest, GetAllCertInfoListsKeyedCertificatesInLocalTime) {
  const PkiCert keyed = MakeCert(PkiAlg::kRsaSha256, {{{"C", "CN"}, {"CN", "Listing User"}}, 0x8A11, -1, 365, false}, nullptr);
  const PkiCert second = MakeCert(PkiAlg::kSm2, {{{"CN", "Second"}}, 0x7F, -3, 30, false}, nullptr);
  const PkiCert bare = MakeCert(PkiAlg::kRsaSha256, {{{"C", "CN"}, {"CN", "No Key"}}, 7, -1, 365, false}, nullptr);
  ASSERT_TRUE(AddToMy(bare.der));
  ASSERT_TRUE(AddToMy(keyed.der, u"c1", kEnhanced));
  ASSERT_TRUE(AddToMy(second.der, u"c2", kSm2Token));
  struct {
    const char* zone;
    int offset;
  } const kZones[] = {{kUtcPlus8, 8 * 3600}, {"UTC", 0}, {"Asia/Shanghai", 8 * 3600}};
  for (const auto& z : kZones) {
    ScopedEnv zone("TZ", z.zone);
    ScriptHost host;
    const ScriptResult listing = host.Call("ZENQ_GetAllCertInfo");
    EXPECT_EQ(S_OK, listing.hr);
    // serial 00 8A 11 keeps its sign byte; 7F has none
    const std::multiset<std::string> expected = {
        ExpectedRecord(keyed, "CN=Listing User, C=CN;008a11", z.offset, kEnhancedName),
        ExpectedRecord(second, "CN=Second;7f", z.offset, "Keyloom SM2 Token Provider")};
    EXPECT_EQ(expected, Records(listing.text)) << z.zone << ": " << listing.text;
  }
}

// The text of an XPath expression over `file`, by xmllint.
std::string XPath(const std::string& file, const std::string& expression) {
  std::string out;
  EXPECT_EQ(0, RunCommand("xmllint --xpath '" + expression + "' " + file, &out)) << expression;
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// The value of property `id` in a serialized entry (id, 1, length, octets).
Bytes Property(const Bytes& entry, uint32_t id) {
  const auto le = [&](size_t at) {
    return uint32_t{entry[at]} | uint32_t{entry[at + 1]} << 8 | uint32_t{entry[at + 2]} << 16 |
           uint32_t{entry[at + 3]} << 24;
  };
  for (size_t at = 0; at + 12 <= entry.size();) {
    const uint32_t length = le(at + 8);
    if (le(at) == id) return Bytes(entry.begin() + at + 12, entry.begin() + at + 12 + length);
    at += 12 + length;
  }
  return {};
}

std::string OpenSsl(const std::string& command) {
  std::string out;
  EXPECT_EQ(0, RunCommand("openssl " + command, &out)) << command;
  return out;
}

// OpenSSL's fingerprint (sha1, md5) of the certificate `der`, upper-case hex.
std::string Fingerprint(const Bytes& der, const std::string& path, const char* digest) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(der.data()), static_cast<long>(der.size()));
  std::string text = OpenSsl("x509 -inform DER -in " + path + " -noout -fingerprint -" + digest);
  std::erase(text, ':');
  return text.substr(text.find('=') + 1, std::string(digest) == "md5" ? 32 : 40);
}

TEST(ChainDocTest, DocumentsReadBackWithXmllintAndOpenSsl) {
  const std::string dir = testing::TempDir() + "chaindoc" + std::to_string(getpid());
  const std::string make = std::string(TESTCA_PATH) + " chain-doc --dir " + dir + " --rsa-out " + dir +
                           "/rsa.xml --sm2-out " + dir + "/sm2.xml";
  std::string out;
  ASSERT_EQ(0, RunCommand(make, &out, true)) << out;

  struct {
    const char* document;
    int roots;
    int bundled;
  } const kDocuments[] = {{"rsa.xml", 2, 4}, {"sm2.xml", 1, 2}};
  for (const auto& d : kDocuments) {
    const std::string file = dir + "/" + d.document;
    EXPECT_EQ(std::to_string(d.roots), XPath(file, "count(/root/RootCACertificate/Certificate)"));
    for (int i = 1; i <= d.roots; ++i) {
      const std::string at = "string(/root/RootCACertificate/Certificate[" + std::to_string(i) + "]/";
      EXPECT_EQ("SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates", XPath(file, at + "ImportPath)"));
      const std::string entryPoint = XPath(file, at + "EntryPoint)");
      std::ofstream(dir + "/content.b64") << XPath(file, at + "Content)");
      OpenSsl("base64 -d -A -in " + dir + "/content.b64 -out " + dir + "/entry.bin");
      const std::string text = ReadFile(dir + "/entry.bin");
      const Bytes entry(text.begin(), text.end());
      // SHA-1 (3) and MD5 (4) of the certificate (32), as OpenSSL computes them
      EXPECT_EQ(entryPoint, Fingerprint(Property(entry, 32), dir + "/root.der", "sha1"));
      EXPECT_EQ(entryPoint, ToHex(Property(entry, 3).data(), 20, ""));
      EXPECT_EQ(Fingerprint(Property(entry, 32), dir + "/root.der", "md5"), ToHex(Property(entry, 4).data(), 16, ""));
    }
    std::ofstream(dir + "/bundle.b64") << XPath(file, "string(/root/P7bContent)");
    OpenSsl("base64 -d -in " + dir + "/bundle.b64 -out " + dir + "/bundle.p7b");
    const std::string certs = OpenSsl("pkcs7 -inform DER -in " + dir + "/bundle.p7b -print_certs -noout");
    EXPECT_EQ(d.bundled, Count(certs, "subject=")) << certs;
  }
  RunCommand("rm -rf " + dir, &out);
}

TEST_F(ListingStoreTest, StoreDeleteRemovesExactlyOneCertificate) {
  const PkiCert a = MakeCert(PkiAlg::kRsaSha256, {{{"CN", "Delete Me"}}, 1, -1, 30, false}, nullptr);
  const PkiCert b = MakeCert(PkiAlg::kRsaSha256, {{{"CN", "Keep Me"}}, 2, -1, 30, false}, nullptr);
  ASSERT_TRUE(AddToMy(a.der));
  ASSERT_TRUE(AddToMy(b.der));
  const std::string cli = KEYLOOM_CLI_PATH;
  const std::string thumbprint = Fingerprint(a.der, homes_.temp() + "/a.der", "sha1");

  std::string out;
  EXPECT_EQ(0, RunCommand(cli + " store delete My " + thumbprint, &out, true)) << out;
  ASSERT_EQ(0, RunCommand(cli + " store list My", &out));
  EXPECT_EQ(std::string::npos, out.find("Delete Me"));
  EXPECT_NE(std::string::npos, out.find("Keep Me"));
  EXPECT_EQ(1, std::count(out.begin(), out.end(), '\n'));
  EXPECT_EQ(1, RunCommand(cli + " store delete My " + thumbprint, &out, true));
  EXPECT_NE(std::string::npos, out.find("keyloom store delete My " + thumbprint + ": 0x80092004")) << out;
  EXPECT_EQ(2, RunCommand(cli + " store delete My 12AB", &out, true));
}

}  // namespace
