// Enrollment requests end to end: a control driven through IDispatch on a
// fresh soft-platform home, the request checked by OpenSSL (its own
// `req -verify` and its parser), the keys checked with `keyloom key list`.
#include <gtest/gtest.h>
#include <openssl/asn1t.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "support/Base64Text.h"
#include "support/ScriptHost.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string WriteTemp(const std::string& dir, const std::string& name, const Bytes& data) {
  const std::string path = dir + "/" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return path;
}

struct ReqDeleter {
  void operator()(X509_REQ* r) const { X509_REQ_free(r); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Req = std::unique_ptr<X509_REQ, ReqDeleter>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

// The keys `keyloom key list` reports for one container: spec -> SPKI DER.
struct ListedKey {
  std::string spec, algorithm;
  int bits = 0;
  Bytes spki;
};

std::string Field(const std::string& object, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  size_t at = object.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  if (object[at] == '"') return object.substr(at + 1, object.find('"', at + 1) - at - 1);
  return object.substr(at, object.find_first_of(",}", at) - at);
}

std::vector<ListedKey> ListedKeys(const std::string& container) {
  std::string out;
  EXPECT_EQ(RunCommand(KEYLOOM_CLI_PATH " key list", &out), 0);
  std::vector<ListedKey> keys;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (Field(line, "container") != container) continue;
    size_t at = line.find("\"keys\":[");
    while ((at = line.find("{\"spec\"", at)) != std::string::npos) {
      const std::string object = line.substr(at, line.find('}', at) - at + 1);
      keys.push_back({Field(object, "spec"), Field(object, "algorithm"),
                      std::atoi(Field(object, "bits").c_str()),
                      Unbase64(Field(object, "publicKey"))});
      at += object.size();
    }
    break;
  }
  return keys;
}

Pkey KeyFromSpki(const Bytes& spki) {
  const unsigned char* p = spki.data();
  return Pkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
}

// Picks the provider, key length and algorithm as page script does.
bool SelectKey(ScriptHost& page, const std::string& bits, const std::string& provider,
               const std::string& algorithm) {
  return page.Call("ZENQ_SetCSPInfo", {bits, provider}).hr == S_OK &&
         page.Call("ZENQ_SetKeyAlgorithm", {algorithm}).hr == S_OK;
}

const char kEnhanced[] = "Microsoft Enhanced Cryptographic Provider v1.0";

// The SM2 temporary-key form: 00 B4 00 00 00 01 00 00, X at 8, Y at 72,
// 136 octets; returns the uncompressed point 04 X Y (empty when malformed).
Bytes PointOfSm2Form(const Bytes& form) {
  EXPECT_EQ(form.size(), 136u);
  if (form.size() != 136u) return {};
  EXPECT_EQ(Bytes(form.begin(), form.begin() + 8),
            (Bytes{0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}));
  Bytes point = {0x04};
  point.insert(point.end(), form.begin() + 8, form.begin() + 40);
  point.insert(point.end(), form.begin() + 72, form.begin() + 104);
  return point;
}

struct Case {
  const char* provider;
  const char* algorithm;
  int bits;
  int certType;
  bool md5;
};

std::string Describe(const Case& c) {
  return std::string(c.provider) + " " + c.algorithm + " " + std::to_string(c.bits) + " type " +
         std::to_string(c.certType) + (c.md5 ? " MD5" : "");
}

class EnrollmentRequest : public ::testing::TestWithParam<Case> {};

TEST_P(EnrollmentRequest, VerifiesAndCarriesWhatThePageAskedFor) {
  const Case& c = GetParam();
  SCOPED_TRACE(Describe(c));
  ScopedSoftHomes homes;
  ScopedEnv lang("LANG", "C");
  ScriptHost page;
  ASSERT_TRUE(SelectKey(page, std::to_string(c.bits), c.provider, c.algorithm));
  const ScriptResult request =
      page.Call(c.md5 ? "ZENQ_PKCS10CertRequisitionwithMD5" : "ZENQ_PKCS10CertRequisition",
                {"CN=Test User,O=Keyloom,C=CN", std::to_string(c.certType), "0"});
  ASSERT_EQ(request.hr, S_OK) << page.Call("GetLastErrorDesc").text;
  const std::string container = page.Call("ZENQ_GetContainer").text;
  EXPECT_EQ(container.size(), 38u);

  // Lines of exactly 64 characters joined by CR LF; the last one shorter or equal.
  size_t start = 0;
  for (;;) {
    const size_t end = request.text.find("\r\n", start);
    if (end == std::string::npos) {
      EXPECT_LE(request.text.size() - start, 64u);
      EXPECT_GT(request.text.size() - start, 0u);
      break;
    }
    EXPECT_EQ(end - start, 64u);
    start = end + 2;
  }
  EXPECT_EQ(request.text.find('\n', 0) == std::string::npos ? 0 : request.text[request.text.find('\n') - 1], '\r');

  // OpenSSL's own verifier: "verify OK" (the exit code says nothing).
  const Bytes der = Unbase64(request.text);
  const std::string path = WriteTemp(homes.root(), "request.der", der);
  const bool sm2 = std::string(c.algorithm) == "SM2";
  std::string verify;
  RunCommand("openssl req -inform DER -in " + path + " -verify -noout" +
                 (sm2 ? " -vfyopt distid:1234567812345678" : ""),
             &verify, true);
  EXPECT_NE(verify.find("verify OK"), std::string::npos) << verify;

  // OpenSSL's parser: subject, key, signature algorithm, attributes.
  const unsigned char* p = der.data();
  Req req(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_TRUE(req);
  char subject[256];
  X509_NAME_oneline(X509_REQ_get_subject_name(req.get()), subject, sizeof subject);
  EXPECT_STREQ(subject, "/C=CN/O=Keyloom/CN=Test User");
  EVP_PKEY* key = X509_REQ_get0_pubkey(req.get());
  ASSERT_NE(key, nullptr);
  if (sm2) {
    char group[64] = {};
    size_t groupLength = 0;
    EVP_PKEY_get_group_name(key, group, sizeof group, &groupLength);
    EXPECT_STREQ(group, "SM2");
    EXPECT_EQ(X509_REQ_get_signature_nid(req.get()), NID_SM2_with_SM3);
  } else {
    EXPECT_EQ(EVP_PKEY_get_id(key), EVP_PKEY_RSA);
    EXPECT_EQ(EVP_PKEY_get_bits(key), c.bits);
    EXPECT_EQ(X509_REQ_get_signature_nid(req.get()),
              c.md5 ? NID_md5WithRSAEncryption : NID_sha1WithRSAEncryption);
  }

  const std::vector<ListedKey> keys = ListedKeys(container);
  const char* certifiedSpec = c.certType == 1 ? "exchange" : "signature";
  const ListedKey* certified = nullptr;
  const ListedKey* exchange = nullptr;
  for (const ListedKey& k : keys) {
    if (k.spec == certifiedSpec) certified = &k;
    if (k.spec == "exchange") exchange = &k;
  }
  ASSERT_NE(certified, nullptr) << "the container holds the certified key";
  EXPECT_EQ(EVP_PKEY_eq(KeyFromSpki(certified->spki).get(), key), 1);

  if (c.certType == 1) {
    EXPECT_EQ(keys.size(), 1u);
    // -1: OpenSSL found no [0] field at all (an empty one would count 0).
    EXPECT_EQ(X509_REQ_get_attr_count(req.get()), -1);
    return;
  }
  ASSERT_EQ(keys.size(), 2u);
  ASSERT_EQ(X509_REQ_get_attr_count(req.get()), 2);
  X509_ATTRIBUTE* challenge = X509_REQ_get_attr(req.get(), 0);
  EXPECT_EQ(OBJ_obj2nid(X509_ATTRIBUTE_get0_object(challenge)), NID_pkcs9_challengePassword);
  ASN1_TYPE* password = X509_ATTRIBUTE_get0_type(challenge, 0);
  ASSERT_EQ(password->type, V_ASN1_PRINTABLESTRING);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(password->value.printablestring->data),
                        password->value.printablestring->length),
            "739254");

  X509_ATTRIBUTE* temporary = X509_REQ_get_attr(req.get(), 1);
  char oid[64];
  OBJ_obj2txt(oid, sizeof oid, X509_ATTRIBUTE_get0_object(temporary), 1);
  EXPECT_STREQ(oid, "1.2.840.113549.1.9.63");
  ASN1_TYPE* wrapped = X509_ATTRIBUTE_get0_type(temporary, 0);
  ASSERT_EQ(wrapped->type, V_ASN1_OCTET_STRING);
  // OCTET STRING { SEQUENCE { INTEGER 1, OCTET STRING temporary key } }
  const unsigned char* q = wrapped->value.octet_string->data;
  STACK_OF(ASN1_TYPE)* seq =
      d2i_ASN1_SEQUENCE_ANY(nullptr, &q, wrapped->value.octet_string->length);
  ASSERT_NE(seq, nullptr);
  ASSERT_EQ(sk_ASN1_TYPE_num(seq), 2);
  ASSERT_EQ(sk_ASN1_TYPE_value(seq, 0)->type, V_ASN1_INTEGER);
  EXPECT_EQ(ASN1_INTEGER_get(sk_ASN1_TYPE_value(seq, 0)->value.integer), 1);
  ASSERT_EQ(sk_ASN1_TYPE_value(seq, 1)->type, V_ASN1_OCTET_STRING);
  const ASN1_OCTET_STRING* tempKey = sk_ASN1_TYPE_value(seq, 1)->value.octet_string;
  const Bytes temp(tempKey->data, tempKey->data + tempKey->length);
  sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);

  ASSERT_NE(exchange, nullptr);
  Pkey exchangeKey = KeyFromSpki(exchange->spki);
  if (sm2) {
    const Bytes point = PointOfSm2Form(temp);
    ASSERT_FALSE(point.empty());
    unsigned char encoded[65];
    size_t encodedLength = 0;
    EVP_PKEY_get_octet_string_param(exchangeKey.get(), "encoded-pub-key", encoded,
                                    sizeof encoded, &encodedLength);
    EXPECT_EQ(Bytes(encoded, encoded + encodedLength), point);
  } else {
    const unsigned char* r = temp.data();
    Pkey tempKeyPkey(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &r, static_cast<long>(temp.size())));
    ASSERT_TRUE(tempKeyPkey) << "an RSAPublicKey";
    EXPECT_EQ(EVP_PKEY_get_bits(tempKeyPkey.get()), 1024);
    EXPECT_EQ(EVP_PKEY_eq(tempKeyPkey.get(), exchangeKey.get()), 1);
  }
}

const Case kCases[] = {
    {kEnhanced, "RSA", 1024, 1, false},
    {kEnhanced, "RSA", 1024, 2, false},
    {kEnhanced, "RSA", 2048, 1, false},
    {kEnhanced, "RSA", 2048, 2, false},
    {"Microsoft Base Cryptographic Provider v1.0", "RSA", 1024, 1, false},
    {"Microsoft Base Cryptographic Provider v1.0", "RSA", 1024, 2, false},
    {"Keyloom RSA Token Provider", "RSA", 2048, 1, false},
    {"Keyloom RSA Token Provider", "RSA", 2048, 2, false},
    {"Keyloom SM2 Token Provider", "SM2", 256, 1, false},
    {"Keyloom SM2 Token Provider", "SM2", 256, 2, false},
    {kEnhanced, "RSA", 1024, 1, true},
    {kEnhanced, "RSA", 1024, 2, true},
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  const std::string provider = info.param.provider;
  std::string name = provider.find("Base") != std::string::npos       ? "Base"
                     : provider.find("Enhanced") != std::string::npos ? "Enhanced"
                     : provider.find("RSA Token") != std::string::npos ? "RsaToken"
                                                                        : "Sm2Token";
  name += std::string("_") + info.param.algorithm + std::to_string(info.param.bits) + "_Type" +
          std::to_string(info.param.certType) + (info.param.md5 ? "_MD5" : "");
  return name;
}

INSTANTIATE_TEST_SUITE_P(AllProviders, EnrollmentRequest, ::testing::ValuesIn(kCases), CaseName);

TEST(TemporaryPublicKey, RsaIsOneLineOfAnRsaPublicKey) {
  ScopedSoftHomes homes;
  ScriptHost page;
  ASSERT_TRUE(SelectKey(page, "1024", kEnhanced, "rsa"));
  const ScriptResult key = page.Call("ZENQ_GetTempPublickey");
  ASSERT_EQ(key.hr, S_OK);
  EXPECT_EQ(key.text.find_first_of("\r\n"), std::string::npos);
  const Bytes der = Unbase64(key.text);
  const unsigned char* p = der.data();
  Pkey pkey(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size())));
  ASSERT_TRUE(pkey) << "an RSAPublicKey";
  EXPECT_EQ(EVP_PKEY_get_bits(pkey.get()), 1024);
  const std::vector<ListedKey> keys = ListedKeys(page.Call("ZENQ_GetContainer").text);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].spec, "exchange");
  EXPECT_EQ(EVP_PKEY_eq(KeyFromSpki(keys[0].spki).get(), pkey.get()), 1);
}

TEST(TemporaryPublicKey, Sm2IsTheAuthoritysFormOfTheExchangeKey) {
  ScopedSoftHomes homes;
  ScriptHost page;
  ASSERT_TRUE(SelectKey(page, "256", "Keyloom SM2 Token Provider", "SM2"));
  const ScriptResult key = page.Call("ZENQ_GetTempPublickey");
  ASSERT_EQ(key.hr, S_OK);
  const Bytes point = PointOfSm2Form(Unbase64(key.text));
  ASSERT_FALSE(point.empty());
  // X and Y make a point on the SM2 curve: OpenSSL accepts it as an SM2 key.
  // SEQUENCE { SEQUENCE { ecPublicKey, 1.2.156.10197.1.301 }, BIT STRING 04 X Y }
  Bytes spki = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06,
                0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x03, 0x42, 0x00};
  spki.insert(spki.end(), point.begin(), point.end());
  Pkey fromForm = KeyFromSpki(spki);
  ASSERT_TRUE(fromForm) << "the point is on the SM2 curve";
  const std::vector<ListedKey> keys = ListedKeys(page.Call("ZENQ_GetContainer").text);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].algorithm, "SM2");
  EXPECT_EQ(EVP_PKEY_eq(KeyFromSpki(keys[0].spki).get(), fromForm.get()), 1);
}

TEST(PermissionProbe, AnswersTrueAndLeavesNoContainer) {
  ScopedSoftHomes homes;
  ScriptHost page;
  const ScriptResult probe = page.Call("ZENQ_HavePermissiontoGenerateKeyPair");
  ASSERT_EQ(probe.hr, S_OK);
  EXPECT_TRUE(probe.flag);
  std::string out;
  EXPECT_EQ(RunCommand(KEYLOOM_CLI_PATH " key list", &out), 0);
  EXPECT_EQ(out, "");
}

TEST(KeyCommand, DeleteRemovesTheContainerOfEitherKind) {
  ScopedSoftHomes homes;
  for (const auto& [provider, algorithm] :
       {std::pair<std::string, std::string>{kEnhanced, "RSA"},
        {"Keyloom SM2 Token Provider", "SM2"}}) {
    ScriptHost page;
    ASSERT_TRUE(SelectKey(page, "1024", provider, algorithm));
    ASSERT_EQ(page.Call("ZENQ_GetTempPublickey").hr, S_OK);
    const std::string container = page.Call("ZENQ_GetContainer").text;
    ASSERT_EQ(ListedKeys(container).size(), 1u);
    std::string out;
    EXPECT_EQ(RunCommand(std::string(KEYLOOM_CLI_PATH " key delete --provider '") + provider +
                             "' --container '" + container + "'",
                         &out),
              0)
        << out;
    EXPECT_TRUE(ListedKeys(container).empty());
    EXPECT_NE(RunCommand(std::string(KEYLOOM_CLI_PATH " key delete --provider '") + provider +
                             "' --container '" + container + "'",
                         &out, true),
              0)
        << "a missing container is an error";
  }
  std::string usage;
  EXPECT_EQ(RunCommand(KEYLOOM_CLI_PATH " key delete --provider x", &usage, true), 2);
}

TEST(TemporaryPublicKey, LeavesAnOwnerOnlyDumpOfTheKeyText) {
  ScopedSoftHomes homes;
  ScriptHost page;
  ASSERT_TRUE(SelectKey(page, "1024", kEnhanced, "RSA"));
  const ScriptResult key = page.Call("ZENQ_GetTempPublickey");
  ASSERT_EQ(key.hr, S_OK);
  std::vector<std::string> dumps;
  for (const auto& entry : std::filesystem::directory_iterator(homes.temp()))
    if (entry.path().extension() == ".ZENQ") dumps.push_back(entry.path().string());
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_EQ(ReadFile(dumps[0]), key.text);
  struct stat info {};
  ASSERT_EQ(stat(dumps[0].c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// A dump that cannot be written never fails the method.
TEST(TemporaryPublicKey, UnwritableTemporaryFolderDoesNotFailTheMethod) {
  ScopedSoftHomes homes;
  ScopedEnv temp("TMPDIR", "/proc/keyloom-no-such-folder");
  ScriptHost page;
  ASSERT_TRUE(SelectKey(page, "1024", kEnhanced, "RSA"));
  EXPECT_EQ(page.Call("ZENQ_GetTempPublickey").hr, S_OK);
}

}  // namespace
