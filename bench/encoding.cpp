// The encoding foundation beside OpenSSL doing the same work on the same
// bytes in the same run: Base64 encode and decode (1 KiB, 1 MiB; ours at
// least 1.5 times as fast as OpenSSL's block functions), decoding a
// certificate-shaped structure, a five-attribute subject Name, and the
// body of a 2048-bit double-certificate request.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "encoding/ASN1Engine.h"
#include "encoding/Base64.h"
#include "encoding/Buffer.h"
#include "request/CertRequest.h"
#include "request/SubjectName.h"
#include "SideBySide.h"


namespace {

using Bytes = std::vector<unsigned char>;
constexpr double kBase64Target = 1 / 1.5;  // ours / OpenSSL

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

// Base64 of `n` bytes, one line: ours (allocating as the callers get it)
// against EVP_EncodeBlock into a buffer allocated per call likewise.
void Base64Encode(benchmark::State& state) {
  const Bytes data = Data(static_cast<size_t>(state.range(0)));
  const int batch = data.size() < 4096 ? 64 : 1;
  bench::SideBySide(
      state, kBase64Target, batch,
      [&] {
        char* text = nullptr;
        DWORD length = 0;
        const HRESULT hr = Base64EncodeEx(data.data(), static_cast<DWORD>(data.size()), &text,
                                          &length, B64_NO_CRLF);
        benchmark::DoNotOptimize(text);
        FreeBuffer(text);
        return hr == S_OK;
      },
      [&] {
        std::vector<unsigned char> text(4 * ((data.size() + 2) / 3) + 1);
        const int n = EVP_EncodeBlock(text.data(), data.data(), static_cast<int>(data.size()));
        benchmark::DoNotOptimize(text.data());
        return n > 0;
      });
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batch * data.size() * 2));
}

void Base64Decode(benchmark::State& state) {
  const std::string text = OneLineBase64(Data(static_cast<size_t>(state.range(0))));
  const int batch = text.size() < 4096 ? 64 : 1;
  bench::SideBySide(
      state, kBase64Target, batch,
      [&] {
        BYTE* bytes = nullptr;
        LONG count = 0;
        const HRESULT hr = Base64DecodeEx(text.data(), static_cast<LONG>(text.size()), &bytes, &count);
        benchmark::DoNotOptimize(bytes);
        FreeBuffer(bytes);
        return hr == S_OK;
      },
      [&] {
        std::vector<unsigned char> bytes(text.size());
        const int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
        benchmark::DoNotOptimize(bytes.data());
        return n > 0;
      });
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batch * text.size() * 2));
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

void DecodeCertificate(benchmark::State& state) {
  const Bytes& der = Certificate();
  bench::SideBySide(
      state, 0, 16,
      [&] {
        std::unique_ptr<ASN1Node> root;
        return DecodeASN1Memory(der.data(), static_cast<uint32_t>(der.size()), &root) == 0;
      },
      [&] {
        const unsigned char* p = der.data();
        X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        X509_free(cert);
        return cert != nullptr;
      });
  state.SetLabel("no target, " + std::to_string(der.size()) + " octets");
}

constexpr char16_t kSubject[] = u"CN=Test User,OU=Retail,O=Example Bank,L=Beijing,C=CN";

// Our composer from the text against OpenSSL building and encoding the
// same Name with its name API.
void ComposeSubject5(benchmark::State& state) {
  bench::SideBySide(
      state, 0, 64,
      [&] {
        BYTE* der = nullptr;
        DWORD length = 0;
        const bool ok = ComposeSubject(kSubject, &der, &length) == S_OK;
        FreeBuffer(der);
        return ok;
      },
      [&] {
        X509_NAME* name = X509_NAME_new();
        X509_NAME_add_entry_by_txt(name, "C", V_ASN1_PRINTABLESTRING,
                                   reinterpret_cast<const unsigned char*>("CN"), -1, -1, 0);
        for (const auto& [field, value] : {std::pair{"L", "Beijing"},
                                           {"O", "Example Bank"},
                                           {"OU", "Retail"},
                                           {"CN", "Test User"}})
          X509_NAME_add_entry_by_txt(name, field, V_ASN1_UTF8STRING,
                                     reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
        unsigned char* out = nullptr;
        const int n = i2d_X509_NAME(name, &out);
        OPENSSL_free(out);
        X509_NAME_free(name);
        return n > 0;
      });
}

// The DER RSAPublicKey of a fresh RSA key of `bits`.
Bytes RsaPublicKey(int bits) {
  EVP_PKEY* key = EVP_RSA_gen(bits);
  unsigned char* der = nullptr;
  const int len = i2d_PublicKey(key, &der);
  Bytes out(der, der + len);
  OPENSSL_free(der);
  EVP_PKEY_free(key);
  return out;
}

std::atomic<long> g_released{0};
void CountRelease(const void*) { g_released.fetch_add(1, std::memory_order_relaxed); }

// The certificationRequestInfo of a double-certificate request (2048-bit
// signing key, 1024-bit temporary key, five-attribute subject) against
// OpenSSL building and encoding the same X509_REQ body. `buffers` counts
// the writer's buffers released per request (one is the output).
void ComposeRequestInfo2048(benchmark::State& state) {
  static const Bytes signing = RsaPublicKey(2048), temporary = RsaPublicKey(1024);
  EVP_PKEY* key = EVP_RSA_gen(2048);
  const RequestSettings settings;
  g_released = 0;
  SetBufferReleaseObserver(CountRelease);
  long calls = 0;
  bench::SideBySide(
      state, 0, 16,
      [&] {
        BYTE* der = nullptr;
        DWORD length = 0;
        const bool ok =
            ComposeCertRequestInfo(kSubject, settings, signing, temporary, &der, &length) == S_OK;
        FreeBuffer(der);
        ++calls;
        return ok;
      },
      [&] {
        X509_REQ* req = X509_REQ_new();
        X509_NAME* name = X509_REQ_get_subject_name(req);
        for (const auto& [field, value] : {std::pair{"C", "CN"},
                                           {"L", "Beijing"},
                                           {"O", "Example Bank"},
                                           {"OU", "Retail"},
                                           {"CN", "Test User"}})
          X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
        X509_REQ_set_pubkey(req, key);
        X509_REQ_add1_attr_by_NID(req, NID_pkcs9_challengePassword, MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>("739254"), 6);
        X509_REQ_add1_attr_by_txt(req, "1.2.840.113549.1.9.63", V_ASN1_OCTET_STRING,
                                  temporary.data(), static_cast<int>(temporary.size()));
        unsigned char* out = nullptr;
        const int n = i2d_re_X509_REQ_tbs(req, &out);
        OPENSSL_free(out);
        X509_REQ_free(req);
        return n > 0;
      });
  SetBufferReleaseObserver(nullptr);
  EVP_PKEY_free(key);
  if (calls > 0)
    state.counters["buffers"] = static_cast<double>(g_released.load()) / static_cast<double>(calls);
}

}  // namespace

BENCHMARK(Base64Encode)->Arg(1024)->Arg(1 << 20);
BENCHMARK(Base64Decode)->Arg(1024)->Arg(1 << 20);
BENCHMARK(DecodeCertificate)->Name("DecodeCertificate/DecodeASN1Memory_vs_d2i_X509");
BENCHMARK(ComposeSubject5)->Name("Subject5/ComposeSubject_vs_X509_NAME_build_i2d");
BENCHMARK(ComposeRequestInfo2048)->Name("RequestInfo2048/ComposeCertRequestInfo_vs_X509_REQ_i2d");

BENCHMARK_MAIN();
