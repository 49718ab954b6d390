#include "support/FakeProvider.h"

#include <cstdio>
#include <cstring>

#include "encoding/Unicode.h"

namespace {

FakeProvider* g_fake = nullptr;

std::string Hex(DWORD v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%x", static_cast<unsigned>(v));
  return b;
}

std::string Text(const char16_t* s) { return s ? Utf16ToUtf8(s) : "(null)"; }

// Fails the call when it is the scripted one.
bool Fails(const char* call) {
  if (g_fake->failCall != call) return false;
  g_fake->failCall.clear();
  Plat().SetLastError(g_fake->failError);
  return true;
}

BOOL EnumProviders(DWORD index, DWORD*, DWORD, DWORD* type, char16_t* name, DWORD* size) {
  if (index >= g_fake->providers.size()) {
    Plat().SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  const std::u16string& entry = g_fake->providers[index];
  if (entry == u"!" || (entry == u"?" && name != nullptr)) {
    Plat().SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD bytes = static_cast<DWORD>((entry.size() + 1) * 2);
  *type = PROV_RSA_FULL;
  if (name == nullptr) {
    *size = bytes;
    return TRUE;
  }
  std::memcpy(name, entry.c_str(), bytes);
  *size = bytes;
  return TRUE;
}

BOOL AcquireContext(HCRYPTPROV* prov, const char16_t* container, const char16_t* provider, DWORD,
                    DWORD flags) {
  g_fake->log.push_back("CryptAcquireContextW " + Text(container) + " " + Text(provider) +
                        " flags=" + Hex(flags));
  if (Fails("CryptAcquireContextW")) return FALSE;
  *prov = (flags & CRYPT_DELETEKEYSET) ? 0 : 0x100;
  return TRUE;
}

BOOL ReleaseContext(HCRYPTPROV prov, DWORD) {
  g_fake->log.push_back("CryptReleaseContext " + Hex(static_cast<DWORD>(prov)));
  return TRUE;
}

BOOL GenKey(HCRYPTPROV, ALG_ID alg, DWORD flags, HCRYPTKEY* key) {
  g_fake->log.push_back("CryptGenKey alg=" + Hex(alg) + " flags=" + Hex(flags));
  if (Fails("CryptGenKey")) return FALSE;
  *key = 0x200;
  return TRUE;
}

BOOL GetUserKey(HCRYPTPROV, DWORD spec, HCRYPTKEY* key) {
  g_fake->log.push_back("CryptGetUserKey spec=" + Hex(spec));
  if (Fails("CryptGetUserKey")) return FALSE;
  *key = 0x201;
  return TRUE;
}

BOOL DestroyKey(HCRYPTKEY key) {
  g_fake->log.push_back("CryptDestroyKey " + Hex(static_cast<DWORD>(key)));
  return TRUE;
}

BOOL ExportKey(HCRYPTKEY, HCRYPTKEY, DWORD type, DWORD, BYTE* data, DWORD* length) {
  g_fake->log.push_back("CryptExportKey type=" + Hex(type));
  if (Fails("CryptExportKey")) return FALSE;
  const std::vector<BYTE> blob = FakeProvider::Sm2Blob();
  if (data) std::memcpy(data, blob.data(), blob.size());
  *length = static_cast<DWORD>(blob.size());
  return TRUE;
}

BOOL ExportPublicKeyInfo(HCRYPTPROV, DWORD spec, DWORD, CERT_PUBLIC_KEY_INFO* info,
                         DWORD* length) {
  g_fake->log.push_back("CryptExportPublicKeyInfo spec=" + Hex(spec));
  if (Fails("CryptExportPublicKeyInfo")) return FALSE;
  static const char kOid[] = "1.2.840.113549.1.1.1";
  const std::vector<BYTE> key = FakeProvider::RsaPublicKey();
  const DWORD needed = static_cast<DWORD>(sizeof(CERT_PUBLIC_KEY_INFO) + sizeof kOid + key.size());
  if (info == nullptr) {
    *length = needed;
    return TRUE;
  }
  auto* base = reinterpret_cast<BYTE*>(info);
  char* oid = reinterpret_cast<char*>(base + sizeof(CERT_PUBLIC_KEY_INFO));
  std::memcpy(oid, kOid, sizeof kOid);
  BYTE* bits = base + sizeof(CERT_PUBLIC_KEY_INFO) + sizeof kOid;
  std::memcpy(bits, key.data(), key.size());
  info->Algorithm.pszObjId = oid;
  info->Algorithm.Parameters = {0, nullptr};
  info->PublicKey = {static_cast<DWORD>(key.size()), bits, 0};
  *length = needed;
  return TRUE;
}

BOOL CreateHash(HCRYPTPROV, ALG_ID alg, HCRYPTKEY, DWORD, HCRYPTHASH* hash) {
  g_fake->log.push_back("CryptCreateHash alg=" + Hex(alg));
  if (Fails("CryptCreateHash")) return FALSE;
  *hash = 0x300;
  return TRUE;
}

BOOL HashData(HCRYPTHASH, const BYTE* data, DWORD length, DWORD) {
  g_fake->log.push_back("CryptHashData " + std::to_string(length));
  g_fake->hashed.insert(g_fake->hashed.end(), data, data + length);
  return TRUE;
}

BOOL SignHash(HCRYPTHASH, DWORD spec, const char16_t*, DWORD, BYTE* signature, DWORD* length) {
  g_fake->log.push_back("CryptSignHashW spec=" + Hex(spec) + (signature ? " data" : " size"));
  if (Fails("CryptSignHashW")) return FALSE;
  const std::vector<BYTE>& s = g_fake->signature;
  if (signature) std::memcpy(signature, s.data(), s.size());
  *length = static_cast<DWORD>(s.size());
  return TRUE;
}

BOOL DestroyHash(HCRYPTHASH) {
  g_fake->log.push_back("CryptDestroyHash");
  return TRUE;
}

BOOL GetProvParam(HCRYPTPROV, DWORD, BYTE*, DWORD*, DWORD) {
  Plat().SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

}  // namespace

std::vector<BYTE> FakeProvider::Sm2Blob() {
  // 06 02 00 00 00 BE 00 00 | 4 octets | X field: 01..20 then 32 zero octets
  // | Y field: 21..40 then 32 zero octets.
  std::vector<BYTE> blob(140, 0);
  const BYTE header[8] = {0x06, 0x02, 0x00, 0x00, 0x00, 0xBE, 0x00, 0x00};
  std::memcpy(blob.data(), header, 8);
  for (int i = 0; i < 32; ++i) {
    blob[8 + 4 + i] = static_cast<BYTE>(1 + i);
    blob[8 + 68 + i] = static_cast<BYTE>(0x21 + i);
  }
  return blob;
}

std::vector<BYTE> FakeProvider::RsaPublicKey() {
  // SEQUENCE { INTEGER 1024-bit modulus 0x80 AA .. AA 01, INTEGER 65537 }:
  // 30 81 89 02 81 81 00 80 AA..AA 01 02 03 01 00 01 (140 octets).
  std::vector<BYTE> key = {0x30, 0x81, 0x89, 0x02, 0x81, 0x81, 0x00, 0x80};
  for (int i = 0; i < 126; ++i) key.push_back(0xAA);
  key.push_back(0x01);
  for (BYTE b : {0x02, 0x03, 0x01, 0x00, 0x01}) key.push_back(b);
  return key;
}

ScopedFakeProvider::ScopedFakeProvider(FakeProvider* fake) {
  g_fake = fake;
  table_ = DefaultPlatform();
  table_.CryptEnumProvidersW = &EnumProviders;
  table_.CryptAcquireContextW = &AcquireContext;
  table_.CryptReleaseContext = &ReleaseContext;
  table_.CryptGenKey = &GenKey;
  table_.CryptGetUserKey = &GetUserKey;
  table_.CryptDestroyKey = &DestroyKey;
  table_.CryptExportKey = &ExportKey;
  table_.CryptExportPublicKeyInfo = &ExportPublicKeyInfo;
  table_.CryptCreateHash = &CreateHash;
  table_.CryptHashData = &HashData;
  table_.CryptSignHashW = &SignHash;
  table_.CryptDestroyHash = &DestroyHash;
  table_.CryptGetProvParam = &GetProvParam;
  previous_ = SetPlatform(&table_);
}

ScopedFakeProvider::~ScopedFakeProvider() {
  SetPlatform(previous_);
  g_fake = nullptr;
}

std::vector<std::string> CallsOf(const FakeProvider& fake, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& line : fake.log)
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
  return out;
}
