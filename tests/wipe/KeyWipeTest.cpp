// Secret key material does not survive in freed memory: every block the
// program frees through C++ or OpenSSL while a key is used and destroyed
// is searched for the key's octets.
//
// This program replaces the global operator delete and OpenSSL's memory
// functions, so it is a test program of its own.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numeric>
#include <vector>

#include "base/Platform.h"
#include "support/TestSupport.h"

namespace {


// The patterns searched for, and the number of freed blocks holding one.
constexpr size_t kPatternSize = 16;
std::atomic<bool> g_watching{false};
std::atomic<int> g_found{0};
BYTE g_patterns[4][kPatternSize];
std::atomic<int> g_patternCount{0};

void Inspect(const void* block) {
  if (block == nullptr || !g_watching.load()) return;
  const size_t size = malloc_usable_size(const_cast<void*>(block));
  for (int i = 0; i < g_patternCount.load(); ++i)
    if (size >= kPatternSize && memmem(block, size, g_patterns[i], kPatternSize) != nullptr) ++g_found;
}

void* HookMalloc(size_t size, const char*, int) { return std::malloc(size); }
void* HookRealloc(void* p, size_t size, const char*, int) {
  Inspect(p);
  return std::realloc(p, size);
}
void HookFree(void* p, const char*, int) {
  Inspect(p);
  std::free(p);
}

// Installed before anything allocates through OpenSSL.
const bool g_hooked = CRYPTO_set_mem_functions(HookMalloc, HookRealloc, HookFree) == 1;

// `secrets` must outlive the watch: its own blocks hold the patterns.
void Watch(const std::vector<Bytes>& secrets) {
  EXPECT_TRUE(g_hooked) << "OpenSSL's allocations are not watched";
  g_patternCount = 0;
  for (const Bytes& s : secrets) std::memcpy(g_patterns[g_patternCount++], s.data(), kPatternSize);
  g_found = 0;
  g_watching = true;
}

int StopWatching() {
  g_watching = false;
  return g_found.load();
}

Bytes Slice(const Bytes& b, size_t offset, bool reverse) {
  Bytes out(b.begin() + static_cast<long>(offset), b.begin() + static_cast<long>(offset + kPatternSize));
  if (reverse) std::reverse(out.begin(), out.end());
  return out;
}

using KeyWipe = SoftHomesTest;

TEST_F(KeyWipe, SessionKeyIsWipedWhenItsHandleIsDestroyed) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(Plat().CryptAcquireContextW(&prov, nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  // A PLAINTEXTKEYBLOB of the 3DES key (0x6603) C0 C1 ... D7.
  Bytes key(24), blob = {PLAINTEXTKEYBLOB, 2, 0, 0, 0x03, 0x66, 0, 0, 24, 0, 0, 0};
  std::iota(key.begin(), key.end(), BYTE{0xC0});
  blob.insert(blob.end(), key.begin(), key.end());
  const std::vector<Bytes> secrets = {key};
  Watch(secrets);
  HCRYPTKEY session = 0;
  ASSERT_TRUE(Plat().CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &session));
  Bytes data(16, 0x42);
  DWORD size = 16;
  Plat().CryptDecrypt(session, 0, FALSE, 0, data.data(), &size);
  ASSERT_TRUE(Plat().CryptDestroyKey(session));
  EXPECT_EQ(0, StopWatching());
  Plat().CryptReleaseContext(prov, 0);
}

TEST_F(KeyWipe, PrivateKeyIsWipedWhenItsHandlesAreDestroyed) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(Plat().CryptAcquireContextW(&prov, u"wipe", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  HCRYPTKEY key = 0;
  ASSERT_TRUE(Plat().CryptGenKey(prov, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, &key));
  Bytes blob(20 + 576);
  DWORD size = static_cast<DWORD>(blob.size());
  ASSERT_TRUE(Plat().CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, blob.data(), &size));
  ASSERT_EQ(blob.size(), size);
  Plat().CryptDestroyKey(key);
  // The private exponent (at 20 + 7n/16) and prime1 (at 20 + n/8), in the
  // blob's little-endian order and in DER's big-endian order.
  const size_t d = 20 + 7 * 1024 / 16 + 40, p = 20 + 1024 / 8 + 16;
  const std::vector<Bytes> secrets = {Slice(blob, d, false), Slice(blob, d, true), Slice(blob, p, false),
                                      Slice(blob, p, true)};
  Watch(secrets);
  ASSERT_TRUE(Plat().CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
  Bytes signature(128);
  HCRYPTHASH hash = 0;
  size = 128;
  ASSERT_TRUE(Plat().CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
  ASSERT_TRUE(Plat().CryptHashData(hash, blob.data(), 8, 0));
  ASSERT_TRUE(Plat().CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &size));
  Plat().CryptDestroyHash(hash);
  ASSERT_TRUE(Plat().CryptDestroyKey(key));
  ASSERT_TRUE(Plat().CryptReleaseContext(prov, 0));
  EXPECT_EQ(0, StopWatching());
}

}  // namespace

// C++ deallocations are inspected too.
void operator delete(void* p) noexcept {
  Inspect(p);
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  Inspect(p);
  std::free(p);
}
void* operator new(size_t size) {
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The decoder allocates its nodes without exceptions; they are freed above.
void* operator new(size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
