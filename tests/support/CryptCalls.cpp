#include "support/CryptCalls.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string_view>

#include "encoding/Unicode.h"

Bytes ExportKey(HCRYPTKEY key, DWORD blobType, HCRYPTKEY wrapKey) {
  DWORD size = 0;
  if (!Plat().CryptExportKey(key, wrapKey, blobType, 0, nullptr, &size)) return {};
  Bytes blob(size);
  if (!Plat().CryptExportKey(key, wrapKey, blobType, 0, blob.data(), &size)) return {};
  blob.resize(size);
  return blob;
}

DWORD KeyParam(HCRYPTKEY key, DWORD param) {
  DWORD value = 0, size = sizeof value;
  if (!Plat().CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(&value), &size, 0)) return ~0u;
  return value;
}

Bytes SignData(HCRYPTPROV prov, ALG_ID algid, const Bytes& data, DWORD spec) {
  HCRYPTHASH hash = 0;
  if (!Plat().CryptCreateHash(prov, algid, 0, 0, &hash)) return {};
  Bytes signature;
  DWORD size = 0;
  if (Plat().CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0) &&
      Plat().CryptSignHashW(hash, spec, nullptr, 0, nullptr, &size)) {
    signature.resize(size);
    if (!Plat().CryptSignHashW(hash, spec, nullptr, 0, signature.data(), &size)) signature.clear();
    else signature.resize(size);
  }
  Plat().CryptDestroyHash(hash);
  return signature;
}

std::u16string UniqueContainer(const char* tag) {
  // The start time too: a prefix kept from an earlier run (where process
  // ids repeat) still has that run's containers.
  static const auto start = std::chrono::system_clock::now().time_since_epoch().count();
  static std::atomic<int> counter{0};
  return Utf8ToUtf16(std::string("keyloom-test-") + tag + "-" + std::to_string(getpid()) + "-" +
                     std::to_string(start) + "-" + std::to_string(counter++));
}

std::vector<std::string> ContainerNames(HCRYPTPROV prov) {
  std::vector<std::string> names;
  char name[256];
  for (DWORD size = sizeof name, flags = CRYPT_FIRST;
       Plat().CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flags);
       size = sizeof name, flags = CRYPT_NEXT)
    names.push_back(name);
  return names;
}

bool NewContainerKey(Prov* prov, Key* key, const char* tag, const char16_t* provider, ALG_ID alg,
                     DWORD flags) {
  const std::u16string name = UniqueContainer(tag);
  return prov->Acquire(name.c_str(), provider, CRYPT_NEWKEYSET) &&
         Plat().CryptGenKey(prov->h, alg, flags, &key->h);
}

bool MakeContainerKey(const char16_t* name, const char16_t* provider, ALG_ID alg, DWORD flags) {
  Prov prov;
  Key key;
  return prov.Acquire(name, provider, CRYPT_NEWKEYSET) && Plat().CryptGenKey(prov.h, alg, flags, &key.h);
}

bool ImportPlain3Des(HCRYPTPROV prov, const Bytes& des3, DWORD mode, HCRYPTKEY* key) {
  Bytes blob = {PLAINTEXTKEYBLOB, 2, 0, 0, 0x03, 0x66, 0, 0, 24, 0, 0, 0};
  blob.insert(blob.end(), des3.begin(), des3.end());
  return Plat().CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, key) &&
         (!mode || Plat().CryptSetKeyParam(*key, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0));
}

Bytes Tlv(BYTE tag, const std::vector<Bytes>& parts) {
  Bytes content;
  for (const Bytes& p : parts) content.insert(content.end(), p.begin(), p.end());
  Bytes out{tag};
  if (content.size() >= 0x80) {  // long form: 81 nn or 82 nn nn
    const bool two = content.size() > 0xFF;
    out.push_back(two ? 0x82 : 0x81);
    if (two) out.push_back(static_cast<BYTE>(content.size() >> 8));
  }
  out.push_back(static_cast<BYTE>(content.size()));
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Reversed(Bytes b) {
  std::reverse(b.begin(), b.end());
  return b;
}

Bytes Random(size_t size) {
  static std::random_device device;
  Bytes out(size);
  for (BYTE& b : out) b = static_cast<BYTE>(device());
  return out;
}

bool TokenAbsentHere(const char16_t* provider) {
#ifdef _WIN32
  if (std::u16string_view(provider).substr(0, 8) != u"Keyloom ") return false;
  printf("[ SOFT ONLY ] %s\n", Narrow(provider).c_str());
  return true;
#else
  (void)provider;
  return false;
#endif
}
