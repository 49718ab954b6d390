// The soft providers through the platform table beside OpenSSL doing the
// same work directly, so that the table's own cost (handles, containers in
// SQLite, blob layouts) can be read off each line: signing and key
// generation stay within 1.2 times OpenSSL's time.
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
#include "SideBySide.h"

namespace {

// SHA-256 signatures: the AES provider (the enhanced one has no SHA-256).
constexpr const char16_t* kAes = u"Microsoft Enhanced RSA and AES Cryptographic Provider";
constexpr const char16_t* kSm2Token = u"Keyloom SM2 Token Provider";
const std::vector<BYTE> kMessage(1024, 0x5A);  // about the size of a request body
constexpr double kTarget = 1.2;                 // ours / OpenSSL

struct Algorithm {
  const char16_t* provider;
  ALG_ID keyAlg;
  DWORD keySpec;
  ALG_ID hashAlg;
  DWORD provType;
  DWORD flags;
  DWORD deleteFlags;
};
const Algorithm kRsa = {kAes, AT_SIGNATURE, AT_SIGNATURE, CALG_SHA_256, PROV_RSA_AES, 2048u << 16,
                        CRYPT_DELETEKEYSET};
const Algorithm kSm2 = {kSm2Token, KL_CALG_SM2_SIGN, AT_SIGNATURE, CALG_SM3, PROV_RSA_FULL, 0,
                        KL_DELETEKEYSET_SM2};

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
  Plat().CryptAcquireContextW(&prov, name.c_str(), a.provider, a.provType, CRYPT_NEWKEYSET);
  Plat().CryptGenKey(prov, a.keyAlg, a.flags, &key);
  Plat().CryptDestroyKey(key);
  return prov;
}

void DeleteContainer(HCRYPTPROV prov, const std::u16string& name, const Algorithm& a) {
  Plat().CryptReleaseContext(prov, 0);
  Plat().CryptAcquireContextW(&prov, name.c_str(), a.provider, a.provType, a.deleteFlags);
}

// Key generation: CryptGenKey storing a new key pair in an empty container,
// as a request does (each iteration's container is made untimed), against
// EVP_PKEY_Q_keygen.
void KeyGen(benchmark::State& state, const Algorithm& a) {
  std::vector<std::pair<HCRYPTPROV, std::u16string>> made;
  bench::SideBySide(
      state, kTarget, 1,
      [&] {
        made.emplace_back(0, NextContainer());
        return Plat().CryptAcquireContextW(&made.back().first, made.back().second.c_str(),
                                           a.provider, a.provType, CRYPT_NEWKEYSET) != FALSE;
      },
      [&] {
        HCRYPTKEY key = 0;
        if (!Plat().CryptGenKey(made.back().first, a.keyAlg, a.flags, &key)) return false;
        return Plat().CryptDestroyKey(key) != FALSE;
      },
      [&] {
        EVP_PKEY* key = OpensslKey(a);
        EVP_PKEY_free(key);
        return key != nullptr;
      });
  for (const auto& [prov, name] : made) DeleteContainer(prov, name, a);
}

// Replacing a container's key: CryptGenKey over the key there, whose bytes
// must then leave every file (the WAL is checkpointed and emptied), against
// EVP_PKEY_Q_keygen.
void KeyReplace(benchmark::State& state, const Algorithm& a) {
  const std::u16string name = NextContainer();
  HCRYPTPROV prov = MakeContainer(name, a);
  bench::SideBySide(
      state, 0, 1,
      [&] {
        HCRYPTKEY key = 0;
        if (!Plat().CryptGenKey(prov, a.keyAlg, a.flags, &key)) return false;
        return Plat().CryptDestroyKey(key) != FALSE;
      },
      [&] {
        EVP_PKEY* key = OpensslKey(a);
        EVP_PKEY_free(key);
        return key != nullptr;
      });
  DeleteContainer(prov, name, a);
}

// The whole life of a container around the key: create, generate and
// store, release, delete (four transactions), against EVP_PKEY_Q_keygen.
void ContainerLife(benchmark::State& state, const Algorithm& a) {
  bench::SideBySide(
      state, 0, 1,
      [&] {
        const std::u16string name = NextContainer();
        HCRYPTPROV prov = 0;
        HCRYPTKEY key = 0;
        if (!Plat().CryptAcquireContextW(&prov, name.c_str(), a.provider, a.provType,
                                         CRYPT_NEWKEYSET) ||
            !Plat().CryptGenKey(prov, a.keyAlg, a.flags, &key))
          return false;
        Plat().CryptDestroyKey(key);
        DeleteContainer(prov, name, a);
        return true;
      },
      [&] {
        EVP_PKEY* key = OpensslKey(a);
        EVP_PKEY_free(key);
        return key != nullptr;
      });
}

// Signing a 1 KiB message: hash object, CryptHashData and CryptSignHashW
// with the container's key against EVP_DigestSign with a loaded key.
void Sign(benchmark::State& state, const Algorithm& a) {
  const std::u16string name = NextContainer();
  HCRYPTPROV prov = MakeContainer(name, a);
  EVP_PKEY* key = OpensslKey(a);
  const bool sm2 = a.hashAlg == CALG_SM3;
  std::vector<BYTE> signature(512);
  bench::SideBySide(
      state, kTarget, 4,
      [&] {
        HCRYPTHASH hash = 0;
        DWORD size = static_cast<DWORD>(signature.size());
        const bool ok =
            Plat().CryptCreateHash(prov, a.hashAlg, 0, 0, &hash) &&
            Plat().CryptHashData(hash, kMessage.data(), static_cast<DWORD>(kMessage.size()), 0) &&
            Plat().CryptSignHashW(hash, a.keySpec, nullptr, 0, signature.data(), &size);
        Plat().CryptDestroyHash(hash);
        return ok;
      },
      [&] {
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = nullptr;
        if (sm2) {
          pctx = EVP_PKEY_CTX_new(key, nullptr);
          EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16);
          EVP_MD_CTX_set_pkey_ctx(md, pctx);
        }
        size_t size = signature.size();
        const bool ok =
            EVP_DigestSignInit(md, nullptr, sm2 ? EVP_sm3() : EVP_sha256(), nullptr, key) == 1 &&
            EVP_DigestSign(md, signature.data(), &size, kMessage.data(), kMessage.size()) == 1;
        EVP_MD_CTX_free(md);
        EVP_PKEY_CTX_free(pctx);
        return ok;
      });
  EVP_PKEY_free(key);
  DeleteContainer(prov, name, a);
}

// The container round trip: open an existing container, get its key,
// export the public key, release; against OpenSSL reading the private
// key's DER back and encoding its public key (what a store of keys must
// do at the least).
void RoundTrip(benchmark::State& state, const Algorithm& a) {
  const std::u16string name = NextContainer();
  Plat().CryptReleaseContext(MakeContainer(name, a), 0);
  EVP_PKEY* key = OpensslKey(a);
  unsigned char* der = nullptr;
  const int derSize = i2d_PrivateKey(key, &der);
  std::vector<BYTE> blob(1024);
  bench::SideBySide(
      state, 0, 4,
      [&] {
        HCRYPTPROV prov = 0;
        HCRYPTKEY userKey = 0;
        DWORD size = static_cast<DWORD>(blob.size());
        if (!Plat().CryptAcquireContextW(&prov, name.c_str(), a.provider, a.provType, 0))
          return false;
        const bool ok = Plat().CryptGetUserKey(prov, a.keySpec, &userKey) &&
                        Plat().CryptExportKey(userKey, 0, PUBLICKEYBLOB, 0, blob.data(), &size);
        Plat().CryptDestroyKey(userKey);
        Plat().CryptReleaseContext(prov, 0);
        return ok;
      },
      [&] {
        const unsigned char* p = der;
        EVP_PKEY* back = d2i_AutoPrivateKey(nullptr, &p, derSize);
        size_t size = 0;
        if (a.hashAlg == CALG_SM3)
          EVP_PKEY_get_octet_string_param(back, OSSL_PKEY_PARAM_PUB_KEY, blob.data(), blob.size(),
                                          &size);
        else
          benchmark::DoNotOptimize(i2d_PublicKey(back, nullptr));
        EVP_PKEY_free(back);
        return back != nullptr;
      });
  OPENSSL_clear_free(der, static_cast<size_t>(derSize));
  EVP_PKEY_free(key);
  HCRYPTPROV prov = 0;
  Plat().CryptAcquireContextW(&prov, name.c_str(), a.provider, a.provType, a.deleteFlags);
}

// RSA key generation varies by tens of milliseconds from key to key: it
// needs many keys before the two means settle.
BENCHMARK_CAPTURE(KeyGen, rsa2048, kRsa)->MinTime(10)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(KeyGen, sm2, kSm2)->MinTime(2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(KeyReplace, sm2, kSm2)->MinTime(2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ContainerLife, sm2, kSm2)->MinTime(2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign, rsa2048_sha256, kRsa)->MinTime(2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign, sm2_sm3, kSm2)->MinTime(2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(RoundTrip, rsa2048, kRsa)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(RoundTrip, sm2, kSm2)->Unit(benchmark::kMicrosecond);

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
