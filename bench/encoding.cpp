// The encoding foundation beside OpenSSL doing the same work on the same
// bytes in the same run: Base64 encode and decode (1 KiB, 1 MiB), decoding
// a certificate-shaped structure, and a five-attribute subject Name.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <string>
#include <vector>

#include "encoding/ASN1Engine.h"
#include "encoding/Base64.h"
#include "encoding/Buffer.h"
#include "request/SubjectName.h"


namespace {

using Bytes = std::vector<unsigned char>;

Bytes Data(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i * 131 + 17);
  return b;
}

std::string OneLineBase64(const Bytes& data) {
  std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
  text.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data.data(),
                              static_cast<int>(data.size())));
  return text;
}

void Base64EncodeKeyloom(benchmark::State& state) {
  const Bytes data = Data(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    char* text = nullptr;
    DWORD length = 0;
    Base64EncodeEx(data.data(), static_cast<DWORD>(data.size()), &text, &length, B64_NO_CRLF);
    benchmark::DoNotOptimize(text);
    FreeBuffer(text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void Base64EncodeOpenSsl(benchmark::State& state) {
  const Bytes data = Data(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    // allocate per call as ours does
    std::vector<unsigned char> text(4 * ((data.size() + 2) / 3) + 1);
    benchmark::DoNotOptimize(
        EVP_EncodeBlock(text.data(), data.data(), static_cast<int>(data.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void Base64DecodeKeyloom(benchmark::State& state) {
  const std::string text = OneLineBase64(Data(static_cast<size_t>(state.range(0))));
  for (auto _ : state) {
    BYTE* bytes = nullptr;
    LONG count = 0;
    Base64DecodeEx(text.data(), static_cast<LONG>(text.size()), &bytes, &count);
    benchmark::DoNotOptimize(bytes);
    FreeBuffer(bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void Base64DecodeOpenSsl(benchmark::State& state) {
  const std::string text = OneLineBase64(Data(static_cast<size_t>(state.range(0))));
  for (auto _ : state) {
    std::vector<unsigned char> bytes(text.size());
    benchmark::DoNotOptimize(EVP_DecodeBlock(bytes.data(),
                                             reinterpret_cast<const unsigned char*>(text.data()),
                                             static_cast<int>(text.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// A certificate of about 1.5 KiB: RSA-2048, a five-attribute subject and
// the usual extensions, self-signed.
const Bytes& Certificate() {
  static const Bytes der = [] {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 0x1234567);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    for (const auto& [field, value] : {std::pair{"C", "CN"},
                                       {"ST", "Beijing"},
                                       {"O", "Example Bank"},
                                       {"OU", "Retail"},
                                       {"CN", "Test User"}})
      X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    for (const auto& [ext, value] :
         {std::pair{"basicConstraints", "critical,CA:FALSE"},
          {"keyUsage", "critical,digitalSignature,nonRepudiation"},
          {"extendedKeyUsage", "clientAuth,emailProtection"},
          {"subjectKeyIdentifier", "hash"},
          {"authorityKeyIdentifier", "keyid"},
          {"subjectAltName",
           "email:test.user@example.com,DNS:www.example.com,DNS:bank.example.com,"
           "DNS:online.bank.example.com,DNS:mobile.bank.example.com,DNS:enroll.bank.example.com,"
           "DNS:api.bank.example.com,DNS:static.bank.example.com,IP:192.0.2.10,IP:192.0.2.11"},
          {"crlDistributionPoints", "URI:http://crl.example.com/ca.crl"},
          {"authorityInfoAccess",
           "OCSP;URI:http://ocsp.example.com/,caIssuers;URI:http://ca.example.com/ca.cer"},
          {"certificatePolicies", "1.2.156.112562.2.1.1.1,1.2.156.112562.2.1.1.2,2.23.140.1.2.2"},
          {"issuerAltName", "URI:http://www.example.com/ca,email:ca-operations@example.com"},
          {"nsComment",
           "Certificate-shaped structure for the decoder benchmark: a personal "
           "signing certificate of a retail bank customer"}}) {
      X509_EXTENSION* e = X509V3_EXT_conf(nullptr, &ctx, ext, value);
      X509_add_ext(cert, e, -1);
      X509_EXTENSION_free(e);
    }
    X509_sign(cert, key, EVP_sha256());
    unsigned char* out = nullptr;
    const int len = i2d_X509(cert, &out);
    Bytes bytes(out, out + len);
    OPENSSL_free(out);
    X509_free(cert);
    EVP_PKEY_free(key);
    return bytes;
  }();
  return der;
}

void DecodeCertificateKeyloom(benchmark::State& state) {
  const Bytes& der = Certificate();
  for (auto _ : state) {
    std::unique_ptr<ASN1Node> root;
    if (DecodeASN1Memory(der.data(), static_cast<uint32_t>(der.size()), &root) != 0)
      state.SkipWithError("decode failed");
  }
  state.SetLabel(std::to_string(der.size()) + " octets");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * der.size()));
}

void DecodeCertificateOpenSsl(benchmark::State& state) {
  const Bytes& der = Certificate();
  for (auto _ : state) {
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (cert == nullptr) state.SkipWithError("d2i_X509 failed");
    X509_free(cert);
  }
  state.SetLabel(std::to_string(der.size()) + " octets");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * der.size()));
}

constexpr char16_t kSubject[] = u"CN=Test User,OU=Retail,O=Example Bank,L=Beijing,C=CN";

Bytes ComposedSubject() {
  BYTE* der = nullptr;
  DWORD length = 0;
  ComposeSubject(kSubject, &der, &length);
  Bytes out(der, der + length);
  FreeBuffer(der);
  return out;
}

void ComposeSubjectKeyloom(benchmark::State& state) {
  for (auto _ : state) {
    BYTE* der = nullptr;
    DWORD length = 0;
    if (ComposeSubject(kSubject, &der, &length) != S_OK) state.SkipWithError("compose failed");
    FreeBuffer(der);
  }
}

// Parsing the same Name with d2i_X509_NAME.
void DecodeSubjectOpenSsl(benchmark::State& state) {
  const Bytes der = ComposedSubject();
  for (auto _ : state) {
    const unsigned char* p = der.data();
    X509_NAME* name = d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size()));
    if (name == nullptr) state.SkipWithError("d2i_X509_NAME failed");
    X509_NAME_free(name);
  }
}

// Building and encoding the same Name with OpenSSL's name API.
void ComposeSubjectOpenSsl(benchmark::State& state) {
  for (auto _ : state) {
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "C", V_ASN1_PRINTABLESTRING,
                               reinterpret_cast<const unsigned char*>("CN"), -1, -1, 0);
    for (const auto& [field, value] :
         {std::pair{"L", "Beijing"}, {"O", "Example Bank"}, {"OU", "Retail"}, {"CN", "Test User"}})
      X509_NAME_add_entry_by_txt(name, field, V_ASN1_UTF8STRING,
                                 reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
    unsigned char* out = nullptr;
    benchmark::DoNotOptimize(i2d_X509_NAME(name, &out));
    OPENSSL_free(out);
    X509_NAME_free(name);
  }
}

}  // namespace

BENCHMARK(Base64EncodeKeyloom)->Name("Base64Encode/1KiB/keyloom")->Arg(1024);
BENCHMARK(Base64EncodeOpenSsl)->Name("Base64Encode/1KiB/openssl_EVP_EncodeBlock")->Arg(1024);
BENCHMARK(Base64EncodeKeyloom)->Name("Base64Encode/1MiB/keyloom")->Arg(1 << 20);
BENCHMARK(Base64EncodeOpenSsl)->Name("Base64Encode/1MiB/openssl_EVP_EncodeBlock")->Arg(1 << 20);
BENCHMARK(Base64DecodeKeyloom)->Name("Base64Decode/1KiB/keyloom")->Arg(1024);
BENCHMARK(Base64DecodeOpenSsl)->Name("Base64Decode/1KiB/openssl_EVP_DecodeBlock")->Arg(1024);
BENCHMARK(Base64DecodeKeyloom)->Name("Base64Decode/1MiB/keyloom")->Arg(1 << 20);
BENCHMARK(Base64DecodeOpenSsl)->Name("Base64Decode/1MiB/openssl_EVP_DecodeBlock")->Arg(1 << 20);
BENCHMARK(DecodeCertificateKeyloom)->Name("DecodeCertificate/keyloom_DecodeASN1Memory");
BENCHMARK(DecodeCertificateOpenSsl)->Name("DecodeCertificate/openssl_d2i_X509");
BENCHMARK(ComposeSubjectKeyloom)->Name("Subject5/keyloom_ComposeSubject");
BENCHMARK(DecodeSubjectOpenSsl)->Name("Subject5/openssl_d2i_X509_NAME");
BENCHMARK(ComposeSubjectOpenSsl)->Name("Subject5/openssl_build_and_i2d_X509_NAME");

BENCHMARK_MAIN();
