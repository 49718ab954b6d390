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
#include "SideBySide.h"

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

// The 1,000 DER files read into an X509_STORE.
bool OpensslLoadStore(const Setup& s) {
  X509_STORE* store = X509_STORE_new();
  bool ok = store != nullptr;
  for (const std::string& file : s.files) {
    std::ifstream in(file, std::ios::binary);
    const std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    ok = ok && x != nullptr && X509_STORE_add_cert(store, x) == 1;
    X509_free(x);
  }
  X509_STORE_free(store);
  return ok;
}

// Opening "My" and walking its 1,000 certificates: at most OpenSSL's time.
void OpenAndEnumerateMy(benchmark::State& state) {
  const Setup& s = Shared();
  bench::SideBySide(
      state, 1.0, 1,
      [] {
        HCERTSTORE my = Plat().CertOpenStore(
            CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
            CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"My");
        int count = 0;
        for (PCCERT_CONTEXT c = nullptr; (c = Plat().CertEnumCertificatesInStore(my, c)) != nullptr;)
          ++count;
        Plat().CertCloseStore(my, 0);
        return count == kCount;
      },
      [&] { return OpensslLoadStore(s); });
}
BENCHMARK(OpenAndEnumerateMy)->MinTime(3)->Unit(benchmark::kMillisecond);

// The registry part of the open: walking the 1,000 entry keys by index
// and reading each "Blob", against the same OpenSSL load.
void RegistryReadEntries(benchmark::State& state) {
  const Setup& s = Shared();
  bench::SideBySide(
      state, 0, 1,
      [] {
        HKEY key = nullptr;
        Plat().RegOpenKeyExW(HKEY_CURRENT_USER,
                             u"Software\\Microsoft\\SystemCertificates\\My\\Certificates", 0,
                             KEY_READ, &key);
        int count = 0;
        std::vector<BYTE> blob(4096);
        for (DWORD i = 0;; ++i, ++count) {
          char16_t name[64];
          DWORD len = 64, size = static_cast<DWORD>(blob.size());
          if (Plat().RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) !=
              ERROR_SUCCESS)
            break;
          HKEY entry = nullptr;
          if (Plat().RegOpenKeyExW(key, name, 0, KEY_READ, &entry) != ERROR_SUCCESS) return false;
          Plat().RegQueryValueExW(entry, u"Blob", nullptr, nullptr, blob.data(), &size);
          Plat().RegCloseKey(entry);
        }
        Plat().RegCloseKey(key);
        return count == kCount;
      },
      [&] { return OpensslLoadStore(s); });
}
BENCHMARK(RegistryReadEntries)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
