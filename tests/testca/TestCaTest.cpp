// What the test certification authority issues and sends, read by OpenSSL
// (its hierarchies verified through each issued certificate's chain).
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <string>

#include "support/Base64Text.h"
#include "support/CryptTestSupport.h"
#include "support/OpenSslDer.h"
#include "support/ScriptHost.h"
#include "support/TestPki.h"
#include "testca/TestCa.h"

namespace {

using testca::Alg;

X509Ptr Pem(const std::string& path) {
  BIO* bio = BIO_new_file(path.c_str(), "r");
  X509Ptr cert(bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr);
  BIO_free(bio);
  return cert;
}

void SetSm2Id(X509* cert, const char* id) {
  ASN1_OCTET_STRING* octets = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(octets, reinterpret_cast<const unsigned char*>(id), static_cast<int>(strlen(id)));
  X509_set0_distinguishing_id(cert, octets);
}

// X509_verify_cert of `leaf` up to the root of `alg` in `dir`, the SM2
// identifier set on every certificate.
bool ChainVerifies(const std::string& dir, Alg alg, X509* leaf) {
  const std::string prefix = dir + (alg == Alg::kSm2 ? "/sm2" : "/rsa");
  X509Ptr root = Pem(prefix + "-root.crt"), ca = Pem(prefix + "-ca.crt");
  if (!root || !ca) return false;
  if (alg == Alg::kSm2)
    for (X509* cert : {root.get(), ca.get(), leaf}) SetSm2Id(cert, kSm2SignerId);
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, root.get());
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  sk_X509_push(untrusted, ca.get());
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(ctx, store, leaf, untrusted);
  const bool ok = X509_verify_cert(ctx) == 1;
  X509_STORE_CTX_free(ctx);
  sk_X509_free(untrusted);
  X509_STORE_free(store);
  return ok;
}

class TestCa : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    homes_ = new ScopedSoftHomes;
    dir_ = homes_->root() + "/ca";
    std::string error;
    ASSERT_TRUE(testca::Init(dir_, &error)) << error;
  }
  static void TearDownTestSuite() { delete homes_; }
  static ScopedSoftHomes* homes_;
  static std::string dir_;
};
ScopedSoftHomes* TestCa::homes_ = nullptr;
std::string TestCa::dir_;

TEST_F(TestCa, IssuesForRequestsOfTheSoftPlatformAndRefusesAFlippedBit) {
  const struct {
    const char *provider, *algorithm, *bits;
    Alg alg;
  } cases[] = {
      {"Microsoft Enhanced Cryptographic Provider v1.0", "RSA", "1024", Alg::kRsa},
      {"Keyloom SM2 Token Provider", "SM2", "256", Alg::kSm2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.provider);
    ScriptHost page;
    ASSERT_TRUE(page.Select(c.bits, c.provider, c.algorithm));
    const ScriptResult text =
        page.Call("ZENQ_PKCS10CertRequisition", {"CN=Test User,O=Keyloom,C=CN", "2", "0"});
    ASSERT_EQ(text.hr, S_OK);
    Bytes der, certificate;
    std::string error;
    ASSERT_TRUE(testca::FileOctets(Bytes(text.text.begin(), text.text.end()), &der, &error)) << error;
    ASSERT_TRUE(testca::Issue(dir_, der, &certificate, &error)) << error;

    X509Ptr cert = X509FromDer(certificate);
    ASSERT_TRUE(cert);
    EXPECT_TRUE(ChainVerifies(dir_, c.alg, cert.get()));
    // One bit flipped in the subject ("Test User" to "Test Uses") is refused.
    der.at(std::string(der.begin(), der.end()).find("Test User") + 8) ^= 0x01;
    certificate.clear();
    EXPECT_FALSE(testca::Issue(dir_, der, &certificate, &error));
    EXPECT_TRUE(certificate.empty());
  }
}

// The envelope's fields: numbers of 16 digits, Base64 ending in a comma,
// each SEQUENCE { INTEGER, OCTET STRING }; returns the OCTET STRINGs.
std::vector<Bytes> EnvelopeFields(const std::string& envelope, std::string* header) {
  *header = envelope.substr(0, 48);
  std::vector<Bytes> fields;
  for (size_t at = 48; at < envelope.size();) {
    const size_t length = std::stoul(envelope.substr(at, 16));
    std::string text = envelope.substr(at + 16, length);
    at += 16 + length;
    EXPECT_EQ(text.back(), ',');
    std::erase(text, ',');
    const Bytes der = Unbase64(text);
    const unsigned char* p = der.data();
    STACK_OF(ASN1_TYPE)* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size()));
    EXPECT_EQ(sk_ASN1_TYPE_num(seq), 2);
    const ASN1_OCTET_STRING* octets = sk_ASN1_TYPE_value(seq, 1)->value.octet_string;
    fields.emplace_back(octets->data, octets->data + octets->length);
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
  }
  return fields;
}

Bytes Decrypt(EVP_PKEY* key, const Bytes& in) {
  std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>> ctx(EVP_PKEY_CTX_new(key, nullptr));
  Bytes out(512);
  size_t size = out.size();
  const bool ok = EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_decrypt(ctx.get(), out.data(), &size, in.data(), in.size()) == 1;
  out.resize(ok ? size : 0);
  return out;
}

TEST_F(TestCa, RsaEnvelopeOpensWithOpenSslToTheGeneratedKey) {
  const unsigned long exponent = 3;  // not the default 65537
  Pkey temporary(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024}));
  testca::EnvelopeRequest request;
  request.temporaryKey = I2d(temporary.get(), i2d_PublicKey);  // RSAPublicKey
  request.bits = 1024;
  request.exponent = exponent;
  request.subject = "CN=Test User,O=Keyloom,C=CN";
  request.commas = 10;
  testca::EnvelopeResult result;
  std::string error, header;
  ASSERT_TRUE(testca::MakeEnvelope(dir_, request, &result, &error)) << error;
  const std::vector<Bytes> fields = EnvelopeFields(result.envelope, &header);
  EXPECT_EQ(header, "000000000000000100000000000000010000000000000306");
  ASSERT_EQ(fields.size(), 2u);
  const Bytes session = Decrypt(temporary.get(), fields[0]);  // big-endian PKCS#1 v1.5
  ASSERT_EQ(session.size(), 24u);
  // The key field is the generated RSAPrivateKey under 3DES-ECB with
  // PKCS#5 padding, as OpenSSL enciphers it.
  const Bytes plain = I2d(result.key.get(), i2d_PrivateKey);
  EXPECT_EQ(fields[1], Encipher(EVP_des_ede3_ecb(), session, plain, true));
  const unsigned char* q = plain.data();
  Pkey key(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &q, static_cast<long>(plain.size())));
  ASSERT_TRUE(key);
  EXPECT_EQ(EVP_PKEY_get_bits(key.get()), 1024);
  BIGNUM* e = nullptr;
  EVP_PKEY_get_bn_param(key.get(), "e", &e);
  EXPECT_TRUE(BN_is_word(e, exponent));
  BN_free(e);
  // The certificate text, broken by commas, is the generated key's.
  EXPECT_NE(result.certificate.find(','), std::string::npos);
  std::string certificate = result.certificate;
  std::erase(certificate, ',');
  X509Ptr cert = X509FromDer(Unbase64(certificate));
  ASSERT_TRUE(cert);
  EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(cert.get()), key.get()), 1);
  EXPECT_TRUE(ChainVerifies(dir_, Alg::kRsa, cert.get()));
}

}  // namespace
