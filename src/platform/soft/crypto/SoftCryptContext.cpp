// Provider enumeration, contexts and provider parameters.
#include <pwd.h>
#include <unistd.h>

#include <cstring>

#include "encoding/Unicode.h"
#include "platform/soft/crypto/SoftCrypto.h"
#include "platform/soft/SoftTable.h"

namespace {

constexpr const char16_t* kDefaultProvider = u"Microsoft Strong Cryptographic Provider";
constexpr DWORD kKnownFlags =
    CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
constexpr DWORD kProviderVersion = 0x200;

// The container a provider opens when none is named: the user's login name.
std::string UserName() {
  if (const char* v = getenv("USER"); v != nullptr && *v != 0) return v;
  if (const passwd* pw = getpwuid(getuid())) return pw->pw_name;
  return "default";
}

BOOL CryptEnumProvidersImpl(DWORD index, DWORD* reserved, DWORD flags, DWORD* provType,
                            char16_t* name, DWORD* nameSize) {
  if (reserved != nullptr || flags != 0) return SoftFail(ERROR_INVALID_PARAMETER);
  const SoftProvider* provider = SoftProviderAt(index);
  if (provider == nullptr) return SoftFail(ERROR_NO_MORE_ITEMS);
  if (provType) *provType = provider->type;
  const DWORD bytes = static_cast<DWORD>((std::u16string_view(provider->name).size() + 1) * 2);
  return SoftCopyOut(provider->name, bytes, reinterpret_cast<BYTE*>(name), nameSize);
}

bool IsSm2Delete(const SoftProvider& provider, DWORD flags) {
  return provider.kind == SoftProviderKind::kSm2Token && flags == KL_DELETEKEYSET_SM2;
}

BOOL CryptAcquireContextImpl(HCRYPTPROV* handle, const char16_t* container,
                             const char16_t* providerName, DWORD provType, DWORD flags) {
  if (handle == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  const SoftProvider* provider = SoftFindProvider(providerName ? providerName : kDefaultProvider);
  if (provider == nullptr) return SoftFail(static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
  if (provType != provider->type) return SoftFail(static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH));
  const bool sm2Delete = IsSm2Delete(*provider, flags);
  if (sm2Delete) flags = CRYPT_DELETEKEYSET;
  if ((flags & ~kKnownFlags) != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));

  auto prov = std::make_shared<SoftProv>();
  prov->provider = provider;
  prov->scope = (flags & CRYPT_MACHINE_KEYSET) ? SoftScope::kMachine : SoftScope::kUser;
  const bool named = container != nullptr && container[0] != 0;
  prov->container = named ? Utf16ToUtf8(container) : UserName();

  DWORD e = ERROR_SUCCESS;
  switch (flags & (CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) {
    case 0:
      e = SoftContainerCheck(*prov);
      break;
    case CRYPT_NEWKEYSET:
      e = SoftContainerCreate(*prov);
      prov->created = e == ERROR_SUCCESS;
      break;
    case CRYPT_DELETEKEYSET:
      e = SoftContainerDelete(*prov);
      if (e == ERROR_SUCCESS) {
        *handle = 0;
        SoftSetLastError(ERROR_SUCCESS);
        return TRUE;
      }
      break;
    case CRYPT_VERIFYCONTEXT:
    case CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET:
      // Tokens open the named container without asking for a PIN; the
      // software providers take no container in a verification context.
      if (named && !SoftIsToken(*provider)) e = static_cast<DWORD>(NTE_BAD_FLAGS);
      else if (named) e = SoftContainerCheck(*prov);
      else prov->ephemeral = true, prov->container.clear();
      break;
    default:
      e = static_cast<DWORD>(NTE_BAD_FLAGS);
  }
  if (e != ERROR_SUCCESS) return SoftFail(e);
  *handle = SoftProvs().Add(std::move(prov));
  SoftSetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CryptReleaseContextImpl(HCRYPTPROV handle, DWORD flags) {
  if (!SoftProvs().Get(handle)) return SoftFail(static_cast<DWORD>(NTE_BAD_UID));
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  std::shared_ptr<SoftProv> prov = SoftProvs().Get(handle);
  SoftProvs().Remove(handle);
  // The container this context made holds every key its maker meant it to.
  if (prov && prov->created)
    if (DWORD e = SoftContainerSettle(*prov)) return SoftFail(e);
  return TRUE;
}

BOOL CopyText(const std::string& text, BYTE* data, DWORD* dataLen) {
  return SoftCopyOut(text.c_str(), static_cast<DWORD>(text.size() + 1), data, dataLen);
}

BOOL EnumAlgs(SoftProv& prov, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags) {
  if (flags & CRYPT_FIRST) prov.algIndex = 0;
  if (prov.algIndex >= prov.provider->algCount) return SoftFail(ERROR_NO_MORE_ITEMS);
  const SoftAlg& alg = prov.provider->algs[prov.algIndex];
  BOOL ok;
  if (param == PP_ENUMALGS_EX) {
    PROV_ENUMALGS_EX record{};
    record.aiAlgid = alg.id;
    record.dwDefaultLen = alg.defaultLen;
    record.dwMinLen = alg.minLen;
    record.dwMaxLen = alg.maxLen;
    record.dwNameLen = static_cast<DWORD>(std::strlen(alg.name) + 1);
    std::strncpy(record.szName, alg.name, sizeof record.szName - 1);
    record.dwLongNameLen = static_cast<DWORD>(std::strlen(alg.longName) + 1);
    std::strncpy(record.szLongName, alg.longName, sizeof record.szLongName - 1);
    ok = SoftCopyOut(&record, sizeof record, data, dataLen);
  } else {
    PROV_ENUMALGS record{};
    record.aiAlgid = alg.id;
    record.dwBitLen = alg.defaultLen;
    record.dwNameLen = static_cast<DWORD>(std::strlen(alg.name) + 1);
    std::strncpy(record.szName, alg.name, sizeof record.szName - 1);
    ok = SoftCopyOut(&record, sizeof record, data, dataLen);
  }
  // A size query does not move on; a delivered record does.
  if (ok && data != nullptr) ++prov.algIndex;
  return ok;
}

BOOL EnumContainers(SoftProv& prov, BYTE* data, DWORD* dataLen, DWORD flags) {
  if ((flags & CRYPT_FIRST) || prov.containerList.empty()) {
    if (DWORD e = SoftContainerList(prov, &prov.containerList)) return SoftFail(e);
    prov.containerIndex = 0;
  }
  if (data == nullptr) {
    // The size query answers the longest name, as the platform does.
    DWORD longest = 0;
    for (const std::string& n : prov.containerList)
      longest = std::max(longest, static_cast<DWORD>(n.size() + 1));
    if (dataLen == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
    *dataLen = std::max<DWORD>(longest, 1);
    return TRUE;
  }
  if (prov.containerIndex >= prov.containerList.size()) return SoftFail(ERROR_NO_MORE_ITEMS);
  if (!CopyText(prov.containerList[prov.containerIndex], data, dataLen)) return FALSE;
  ++prov.containerIndex;
  return TRUE;
}

BOOL CryptGetProvParamImpl(HCRYPTPROV handle, DWORD param, BYTE* data, DWORD* dataLen,
                           DWORD flags) {
  std::shared_ptr<SoftProv> prov = SoftProvs().Get(handle);
  if (!prov) return SoftFail(static_cast<DWORD>(NTE_BAD_UID));
  switch (param) {
    case PP_NAME:
      return CopyText(Utf16ToUtf8(prov->provider->name), data, dataLen);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
      return CopyText(prov->container, data, dataLen);
    case PP_ENUMALGS:
    case PP_ENUMALGS_EX:
      return EnumAlgs(*prov, param, data, dataLen, flags);
    case PP_ENUMCONTAINERS:
      return EnumContainers(*prov, data, dataLen, flags);
    case PP_PROVTYPE: {
      return SoftCopyOut(&prov->provider->type, sizeof prov->provider->type, data, dataLen);
    }
    case PP_IMPTYPE: {
      const DWORD type = SoftIsToken(*prov->provider) ? CRYPT_IMPL_REMOVABLE : CRYPT_IMPL_SOFTWARE;
      return SoftCopyOut(&type, sizeof type, data, dataLen);
    }
    case PP_VERSION:
      return SoftCopyOut(&kProviderVersion, sizeof kProviderVersion, data, dataLen);
    default:
      return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
  }
}

BOOL CryptGenRandomImpl(HCRYPTPROV handle, DWORD length, BYTE* buffer) {
  if (!SoftProvs().Get(handle)) return SoftFail(static_cast<DWORD>(NTE_BAD_UID));
  if (length == 0) return TRUE;
  if (buffer == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if (RAND_bytes(buffer, static_cast<int>(length)) != 1) return SoftFail(static_cast<DWORD>(NTE_FAIL));
  return TRUE;
}

}  // namespace

SoftHandleTable<SoftProv>& SoftProvs() {
  static auto* table = new SoftHandleTable<SoftProv>(ULONG_PTR{1} << 32);
  return *table;
}
SoftHandleTable<SoftKey>& SoftKeys() {
  static auto* table = new SoftHandleTable<SoftKey>(ULONG_PTR{2} << 32);
  return *table;
}
SoftHandleTable<SoftHash>& SoftHashes() {
  static auto* table = new SoftHandleTable<SoftHash>(ULONG_PTR{3} << 32);
  return *table;
}

void SoftFillCryptContext(Platform& t) {
  t.CryptEnumProvidersW = &CryptEnumProvidersImpl;
  t.CryptAcquireContextW = &CryptAcquireContextImpl;
  t.CryptReleaseContext = &CryptReleaseContextImpl;
  t.CryptGetProvParam = &CryptGetProvParamImpl;
  t.CryptGenRandom = &CryptGenRandomImpl;
}
