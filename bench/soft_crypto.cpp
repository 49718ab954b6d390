// The soft providers through the platform table beside OpenSSL doing the
// same work directly, so that the table's own cost (handles, containers in
// SQLite, blob layouts) can be read off each pair of lines.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/Platform.h"
#include "encoding/Unicode.h"

namespace {

constexpr const char16_t* kEnhanced = u"Microsoft Enhanced Cryptographic Provider v1.0";
constexpr const char16_t* kSm2Token = u"Keyloom SM2 Token Provider";
const std::vector<BYTE> kMessage(1024, 0x5A);  // about the size of a request body

struct Algorithm {
  const char16_t* provider;
  ALG_ID keyAlg;
  DWORD keySpec;
  ALG_ID hashAlg;
  DWORD flags;
  DWORD deleteFlags;
};
const Algorithm kRsa = {kEnhanced, AT_SIGNATURE, AT_SIGNATURE, CALG_SHA_256, 2048u << 16,
                        CRYPT_DELETEKEYSET};
const Algorithm kSm2 = {kSm2Token, KL_CALG_SM2_SIGN, AT_SIGNATURE, CALG_SM3, 0, KL_DELETEKEYSET_SM2};

std::u16string NextContainer() {
  static int counter = 0;
  return Utf8ToUtf16("bench-" + std::to_string(counter++));
}

EVP_PKEY* OpensslKey(const Algorithm& a) {
  return a.keyAlg == AT_SIGNATURE ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048})
                                  : EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
}

// A new container with a key pair; returns the open provider handle.
HCRYPTPROV MakeContainer(const std::u16string& name, const Algorithm& a) {
  HCRYPTPROV prov = 0;
  HCRYPTKEY key = 0;
  Plat().CryptAcquireContextW(&prov, name.c_str(), a.provider, PROV_RSA_FULL, CRYPT_NEWKEYSET);
  Plat().CryptGenKey(prov, a.keyAlg, a.flags, &key);
  Plat().CryptDestroyKey(key);
  return prov;
}

// Key generation: in a new container through the table (create, generate,
// store, release, delete) against EVP_PKEY_Q_keygen.
void TableKeyGen(benchmark::State& state, const Algorithm& a) {
  for (auto _ : state) {
    const std::u16string name = NextContainer();
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    if (!Plat().CryptAcquireContextW(&prov, name.c_str(), a.provider, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
        !Plat().CryptGenKey(prov, a.keyAlg, a.flags, &key)) {
      state.SkipWithError("table key generation failed");
      break;
    }
    Plat().CryptDestroyKey(key);
    Plat().CryptReleaseContext(prov, 0);
    Plat().CryptAcquireContextW(&prov, name.c_str(), a.provider, PROV_RSA_FULL, a.deleteFlags);
  }
}

void OpensslKeyGen(benchmark::State& state, const Algorithm& a) {
  for (auto _ : state) {
    EVP_PKEY* key = OpensslKey(a);
    benchmark::DoNotOptimize(key);
    EVP_PKEY_free(key);
  }
}

// Signing a 1 KiB message: hash object and CryptSignHashW (the key is read
// from the container each time) against EVP_DigestSign with a loaded key.
void TableSign(benchmark::State& state, const Algorithm& a) {
  const std::u16string name = NextContainer();
  HCRYPTPROV prov = MakeContainer(name, a);
  std::vector<BYTE> signature(512);
  for (auto _ : state) {
    HCRYPTHASH hash = 0;
    DWORD size = static_cast<DWORD>(signature.size());
    if (!Plat().CryptCreateHash(prov, a.hashAlg, 0, 0, &hash) ||
        !Plat().CryptHashData(hash, kMessage.data(), static_cast<DWORD>(kMessage.size()), 0) ||
        !Plat().CryptSignHashW(hash, a.keySpec, nullptr, 0, signature.data(), &size)) {
      state.SkipWithError("table signing failed");
      break;
    }
    Plat().CryptDestroyHash(hash);
  }
  Plat().CryptReleaseContext(prov, 0);
  Plat().CryptAcquireContextW(&prov, name.c_str(), a.provider, PROV_RSA_FULL, a.deleteFlags);
}

void OpensslSign(benchmark::State& state, const Algorithm& a) {
  EVP_PKEY* key = OpensslKey(a);
  const bool sm2 = a.hashAlg == CALG_SM3;
  std::vector<unsigned char> signature(512);
  for (auto _ : state) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    if (sm2) {
      pctx = EVP_PKEY_CTX_new(key, nullptr);
      EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16);
      EVP_MD_CTX_set_pkey_ctx(md, pctx);
    }
    size_t size = signature.size();
    EVP_DigestSignInit(md, nullptr, sm2 ? EVP_sm3() : EVP_sha256(), nullptr, key);
    EVP_DigestSign(md, signature.data(), &size, kMessage.data(), kMessage.size());
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(pctx);
  }
  EVP_PKEY_free(key);
}

// The container round trip: open an existing container, get its key,
// export the public key, release; against OpenSSL serialising the key and
// reading it back (what a store of keys must do at the least).
void TableRoundTrip(benchmark::State& state, const Algorithm& a) {
  const std::u16string name = NextContainer();
  HCRYPTPROV prov = MakeContainer(name, a);
  HCRYPTKEY key = 0;
  Plat().CryptReleaseContext(prov, 0);
  std::vector<BYTE> blob(1024);
  for (auto _ : state) {
    DWORD size = static_cast<DWORD>(blob.size());
    if (!Plat().CryptAcquireContextW(&prov, name.c_str(), a.provider, PROV_RSA_FULL, 0) ||
        !Plat().CryptGetUserKey(prov, a.keySpec, &key) ||
        !Plat().CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size)) {
      state.SkipWithError("table round trip failed");
      break;
    }
    Plat().CryptDestroyKey(key);
    Plat().CryptReleaseContext(prov, 0);
  }
  Plat().CryptAcquireContextW(&prov, name.c_str(), a.provider, PROV_RSA_FULL, a.deleteFlags);
}

void OpensslRoundTrip(benchmark::State& state, const Algorithm& a) {
  EVP_PKEY* key = OpensslKey(a);
  unsigned char* der = nullptr;
  const int derSize = i2d_PrivateKey(key, &der);
  std::vector<unsigned char> pub(1024);
  for (auto _ : state) {
    const unsigned char* p = der;
    EVP_PKEY* back = d2i_AutoPrivateKey(nullptr, &p, derSize);
    size_t size = 0;
    if (a.hashAlg == CALG_SM3)
      EVP_PKEY_get_octet_string_param(back, OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size(), &size);
    else
      benchmark::DoNotOptimize(i2d_PublicKey(back, nullptr));
    EVP_PKEY_free(back);
  }
  OPENSSL_clear_free(der, static_cast<size_t>(derSize));
  EVP_PKEY_free(key);
}

BENCHMARK_CAPTURE(TableKeyGen, rsa2048, kRsa)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OpensslKeyGen, rsa2048, kRsa)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(TableKeyGen, sm2, kSm2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(OpensslKeyGen, sm2, kSm2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(TableSign, rsa2048_sha256, kRsa)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(OpensslSign, rsa2048_sha256, kRsa)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(TableSign, sm2_sm3, kSm2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(OpensslSign, sm2_sm3, kSm2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(TableRoundTrip, rsa2048, kRsa)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(OpensslRoundTrip, rsa2048, kRsa)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(TableRoundTrip, sm2, kSm2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(OpensslRoundTrip, sm2, kSm2)->Unit(benchmark::kMicrosecond);

}  // namespace

// Runs in fresh homes that are removed afterwards.
int main(int argc, char** argv) {
  char pattern[] = "/tmp/keyloom-bench-XXXXXX";
  const std::string root = mkdtemp(pattern);
  setenv("KEYLOOM_HOME", (root + "/user").c_str(), 1);
  setenv("KEYLOOM_MACHINE_HOME", (root + "/machine").c_str(), 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
