// "Keyloom PKCS#11 Token Provider" signing through the platform table
// (hash object, CryptSignHashW, the platform's byte order) beside the same
// key's C_SignInit + C_Sign called directly on SoftHSM2, so the provider's
// own cost can be read off the line: at most 1.2 times the direct call.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <openssl/evp.h>
#include <p11-kit/pkcs11.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/Platform.h"
#include "SideBySide.h"

namespace {

const char kSoftHsm[] = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char16_t* kProvider = u"Keyloom PKCS#11 Token Provider";
constexpr const char16_t* kContainer = u"bench";
const std::vector<BYTE> kMessage(1024, 0x5A);
// SHA-256 DigestInfo prefix, for the direct call's input.
const BYTE kSha256Info[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                            0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

void Sign(benchmark::State& state, DWORD bits) {
  const Platform& p = Plat();
  HCRYPTPROV prov = 0;
  HCRYPTKEY key = 0;
  p.CryptAcquireContextW(&prov, kContainer, kProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
  if (!p.CryptAcquireContextW(&prov, kContainer, kProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
      !p.CryptGenKey(prov, AT_SIGNATURE, bits << 16, &key))
    return state.SkipWithError("no key on the token");
  p.CryptDestroyKey(key);

  // The direct side: its own session on the same module, the same key.
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(
      dlsym(dlopen(kSoftHsm, RTLD_NOW | RTLD_NOLOAD), "C_GetFunctionList"));
  CK_FUNCTION_LIST* f = nullptr;
  CK_SLOT_ID slots[4];
  CK_ULONG count = 4;
  CK_SESSION_HANDLE session = 0;
  if (getList == nullptr || getList(&f) != CKR_OK || f->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK ||
      f->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK)
    return state.SkipWithError("no direct session");
  const CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  const std::string label = "bench";
  CK_ATTRIBUTE query[] = {{CKA_CLASS, const_cast<CK_OBJECT_CLASS*>(&cls), sizeof cls},
                          {CKA_LABEL, const_cast<char*>(label.data()), label.size()}};
  CK_OBJECT_HANDLE object = 0;
  CK_ULONG found = 0;
  f->C_FindObjectsInit(session, query, 2);
  f->C_FindObjects(session, &object, 1, &found);
  f->C_FindObjectsFinal(session);
  if (found != 1) return state.SkipWithError("the key is not found directly");

  std::vector<BYTE> info(kSha256Info, kSha256Info + sizeof kSha256Info);
  info.resize(info.size() + 32);
  std::vector<BYTE> signature(bits / 8);
  bench::SideBySide(
      state, 1.2, 4,
      [&] {
        HCRYPTHASH hash = 0;
        DWORD size = static_cast<DWORD>(signature.size());
        const bool ok = p.CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
                        p.CryptHashData(hash, kMessage.data(), static_cast<DWORD>(kMessage.size()), 0) &&
                        p.CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &size);
        if (hash) p.CryptDestroyHash(hash);
        return ok;
      },
      [&] {
        // The digest too, so both sides do the same work.
        unsigned int n = 0;
        EVP_Digest(kMessage.data(), kMessage.size(), info.data() + sizeof kSha256Info, &n, EVP_sha256(), nullptr);
        CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
        CK_ULONG size = signature.size();
        return f->C_SignInit(session, &mechanism, object) == CKR_OK &&
               f->C_Sign(session, info.data(), info.size(), signature.data(), &size) == CKR_OK;
      });
  f->C_CloseSession(session);
  p.CryptReleaseContext(prov, 0);
}

BENCHMARK_CAPTURE(Sign, rsa1024, 1024)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Sign, rsa2048, 2048)->Unit(benchmark::kMicrosecond);

}  // namespace

// A SoftHSM2 token of its own in a fresh folder, removed afterwards; the
// PIN comes from the tests' scripted pinentry.
int main(int argc, char** argv) {
  char pattern[] = "/tmp/keyloom-bench-p11-XXXXXX";
  const std::string root = mkdtemp(pattern);
  std::filesystem::create_directory(root + "/tokens");
  const std::string conf = root + "/softhsm2.conf";
  std::string command = "printf 'directories.tokendir = " + root + "/tokens\\nobjectstore.backend = file\\n' >" +
                        conf + " && SOFTHSM2_CONF=" + conf +
                        " softhsm2-util --init-token --free --label bench --pin 123456 --so-pin 12345678 >/dev/null";
  if (system(command.c_str()) != 0) return 1;
  setenv("SOFTHSM2_CONF", conf.c_str(), 1);
  setenv("KEYLOOM_HOME", (root + "/user").c_str(), 1);
  setenv("KEYLOOM_MACHINE_HOME", (root + "/machine").c_str(), 1);
  setenv("KEYLOOM_PKCS11_MODULE", kSoftHsm, 1);
  setenv("KEYLOOM_PINENTRY", KEYLOOM_SOURCE_DIR "/tests/pkcs11/pinentry.sh", 1);
  setenv("KEYLOOM_TEST_PIN", "123456", 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
