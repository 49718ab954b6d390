// Opening the current user's "My" with 1,000 certificates and walking it,
// beside OpenSSL reading the same 1,000 DER files into an X509_STORE.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/Platform.h"

namespace {

constexpr int kCount = 1000;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Setup {
  std::string root;
  std::vector<std::string> files;

  Setup() {
    char pattern[] = "/tmp/keyloom-bench-XXXXXX";
    root = mkdtemp(pattern);
    setenv("KEYLOOM_HOME", (root + "/user").c_str(), 1);
    setenv("KEYLOOM_MACHINE_HOME", (root + "/machine").c_str(), 1);
    // One issuer key signs every certificate (P-256: quick to make).
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    HCERTSTORE my = Plat().CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                                         CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    for (int i = 0; i < kCount; ++i) {
      X509* x = X509_new();
      X509_set_version(x, 2);
      ASN1_INTEGER_set(X509_get_serialNumber(x), i + 1);
      X509_gmtime_adj(X509_getm_notBefore(x), 0);
      X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 365);
      const std::string cn = "Bench User " + std::to_string(i);
      X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
      X509_set_issuer_name(x, X509_get_subject_name(x));
      X509_set_pubkey(x, key);
      X509_sign(x, key, EVP_sha256());
      unsigned char* der = nullptr;
      const int n = i2d_X509(x, &der);
      files.push_back(root + "/cert" + std::to_string(i) + ".der");
      std::ofstream(files.back(), std::ios::binary).write(reinterpret_cast<char*>(der), n);
      Plat().CertAddEncodedCertificateToStore(my, kEncoding, der, static_cast<DWORD>(n),
                                              CERT_STORE_ADD_NEW, nullptr);
      OPENSSL_free(der);
      X509_free(x);
    }
    Plat().CertCloseStore(my, 0);
    EVP_PKEY_free(key);
  }
  ~Setup() { std::filesystem::remove_all(root); }
};

Setup& Shared() {
  static Setup s;
  return s;
}

void SoftOpenAndEnumerateMy(benchmark::State& state) {
  Shared();
  for (auto _ : state) {
    HCERTSTORE my = Plat().CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                                         CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                                         u"My");
    int count = 0;
    for (PCCERT_CONTEXT c = nullptr; (c = Plat().CertEnumCertificatesInStore(my, c)) != nullptr;)
      ++count;
    Plat().CertCloseStore(my, 0);
    if (count != kCount) state.SkipWithError("wrong count");
    benchmark::DoNotOptimize(count);
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(SoftOpenAndEnumerateMy)->Unit(benchmark::kMillisecond);

// The registry part of the open: walking the 1,000 entry keys by index.
void RegistryEnumerateEntryKeys(benchmark::State& state) {
  Shared();
  for (auto _ : state) {
    HKEY key = nullptr;
    Plat().RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Microsoft\\SystemCertificates\\My\\Certificates",
                         0, KEY_READ, &key);
    int count = 0;
    for (DWORD i = 0;; ++i, ++count) {
      char16_t name[64];
      DWORD len = 64;
      if (Plat().RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
    }
    Plat().RegCloseKey(key);
    if (count != kCount) state.SkipWithError("wrong count");
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(RegistryEnumerateEntryKeys)->Unit(benchmark::kMillisecond);

void OpensslReadDerFilesIntoStore(benchmark::State& state) {
  const Setup& s = Shared();
  for (auto _ : state) {
    X509_STORE* store = X509_STORE_new();
    for (const std::string& file : s.files) {
      std::ifstream in(file, std::ios::binary);
      const std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
      X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
      X509_STORE_add_cert(store, x);
      X509_free(x);
    }
    X509_STORE_free(store);
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(OpensslReadDerFilesIntoStore)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
