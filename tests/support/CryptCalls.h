// Helpers of the provider tests that use the platform table alone, so they
// build for every platform: handle holders and the usual call sequences.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/Platform.h"
#include "support/TestSupport.h"

// The last error of the active table as the HRESULT-style code.
inline DWORD LastError() { return Plat().GetLastError(); }
#define EXPECT_FAILS_WITH(code, call)                 \
  do {                                                \
    EXPECT_FALSE(call);                               \
    EXPECT_EQ(static_cast<DWORD>(code), LastError()); \
  } while (0)

// The type `provider` is registered with (and must be opened with): its own
// for the AES provider, PROV_RSA_FULL for the others.
inline DWORD TypeOf(const char16_t* provider) {
  return std::u16string_view(provider) == kAes ? PROV_RSA_AES : PROV_RSA_FULL;
}

// Owns a provider handle of the table.
struct Prov {
  HCRYPTPROV h = 0;
  Prov() = default;
  Prov(const Prov&) = delete;
  ~Prov() {
    if (h) Plat().CryptReleaseContext(h, 0);
  }
  // Releases the handle held and acquires `container` of `provider` (of its
  // type).
  bool Acquire(const char16_t* container, const char16_t* provider, DWORD flags) {
    if (h) Plat().CryptReleaseContext(h, 0);
    h = 0;
    return Plat().CryptAcquireContextW(&h, container, provider, TypeOf(provider), flags) != FALSE;
  }
};

// Owns a key handle.
struct Key {
  HCRYPTKEY h = 0;
  Key() = default;
  Key(const Key&) = delete;
  ~Key() {
    if (h) Plat().CryptDestroyKey(h);
  }
};

// CryptExportKey with the size query first; empty on failure.
Bytes ExportKey(HCRYPTKEY key, DWORD blobType, HCRYPTKEY wrapKey = 0);
// A key parameter that is one DWORD; ~0 on failure.
DWORD KeyParam(HCRYPTKEY key, DWORD param);
// Hashes `data` with `algid` in `prov` and signs it with the key of `spec`;
// empty on failure.
Bytes SignData(HCRYPTPROV prov, ALG_ID algid, const Bytes& data, DWORD spec);
// A container name unique within the test run and across runs.
std::u16string UniqueContainer(const char* tag);
// The container names `prov` enumerates: CRYPT_FIRST, then CRYPT_NEXT until
// the provider fails (ERROR_NO_MORE_ITEMS at the end).
std::vector<std::string> ContainerNames(HCRYPTPROV prov);
// Creates a new container (named after `tag`) of `provider` in `prov` and
// generates a key of `alg` with `flags` (bits << 16 and options) in it.
bool NewContainerKey(Prov* prov, Key* key, const char* tag, const char16_t* provider, ALG_ID alg,
                     DWORD flags);
// Creates container `name` of `provider` with a key of `alg` and `flags`,
// then releases both handles; true when every call worked.
bool MakeContainerKey(const char16_t* name, const char16_t* provider, ALG_ID alg, DWORD flags);

// Imports `des3` in the clear (PLAINTEXTKEYBLOB: 08 02 00 00 | CALG_3DES
// 03 66 00 00 | length 24 | key) into `prov` and sets KP_MODE to `mode`
// unless 0; true when both calls work, the key in *key.
bool ImportPlain3Des(HCRYPTPROV prov, const Bytes& des3, DWORD mode, HCRYPTKEY* key);

// A DER element of `tag` around `content` (definite length), written here
// by hand; `parts` are concatenated as the content.
Bytes Tlv(BYTE tag, const std::vector<Bytes>& parts);

// `b` in reverse order (the platform's little-endian numbers).
Bytes Reversed(Bytes b);
// `size` octets from the random device, for test keys and padding.
Bytes Random(size_t size);

// The providers of the soft platform that stand for other makers' tokens
// exist only there: true, and "[ SOFT ONLY ] provider" printed for the
// runner's list, when `provider` is one of them and the build is Windows';
// a test then leaves that row out.
bool TokenAbsentHere(const char16_t* provider);
