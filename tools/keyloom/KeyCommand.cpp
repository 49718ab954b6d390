#include "keyloom/KeyCommand.h"

#include <cstdio>
#include <set>

#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/Base64.h"
#include "encoding/Buffer.h"
#include "encoding/Unicode.h"
#include "request/Sm2TempKey.h"
#include "keyloom/Failure.h"
#include "encoding/Json.h"
#include "keyloom/KeyVerify.h"
#include "request/CertRequest.h"

namespace {

std::string Base64(const BYTE* data, DWORD length) {
  char* text = nullptr;
  DWORD textLength = 0;
  if (FAILED(Base64EncodeEx(data, length, &text, &textLength, B64_NO_CRLF))) return {};
  std::string out(text, textLength);
  FreeBuffer(text);
  return out;
}

DWORD KeyParam(HCRYPTKEY key, DWORD param) {
  DWORD value = 0, size = sizeof value;
  if (!Plat().CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(&value), &size, 0)) return 0;
  return value;
}

// The DER SubjectPublicKeyInfo of the container's key of `spec`, as Base64.
std::string PublicKeyInfo(HCRYPTPROV provider, HCRYPTKEY key, DWORD spec, bool sm2) {
  const Platform& p = Plat();
  DWORD size = 0;
  BYTE* der = nullptr;
  DWORD derLength = 0;
  HRESULT hr;
  if (sm2) {
    if (!p.CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size) || size < 140) return {};
    ScopedBuffer<BYTE> blob(AllocZeroed<BYTE>(size));
    if (!blob || !p.CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.get(), &size)) return {};
    BYTE point[65];
    Sm2PublicPoint(blob.get(), point);
    hr = ComposeSignPublicKeyData(KeyAlgorithm::Sm2, {point, sizeof point}, &der, &derLength);
  } else {
    const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    if (!p.CryptExportPublicKeyInfo(provider, spec, encoding, nullptr, &size)) return {};
    ScopedBuffer<BYTE> buffer(AllocZeroed<BYTE>(size));
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.get());
    if (!buffer || !p.CryptExportPublicKeyInfo(provider, spec, encoding, info, &size)) return {};
    hr = ComposeSignPublicKeyData(
        KeyAlgorithm::Rsa, {info->PublicKey.pbData, info->PublicKey.cbData}, &der, &derLength);
  }
  const ScopedBuffer<BYTE> holder(der);
  return SUCCEEDED(hr) ? Base64(der, derLength) : std::string();
}

// The certificate the provider keeps with the key, as a JSON value.
std::string Certificate(HCRYPTKEY key) {
  const Platform& p = Plat();
  DWORD size = 0;
  if (!p.CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0) || size == 0) return "null";
  ScopedBuffer<BYTE> der(AllocZeroed<BYTE>(size));
  if (!der || !p.CryptGetKeyParam(key, KP_CERTIFICATE, der.get(), &size, 0)) return "null";
  return JsonString(Base64(der.get(), size));
}

// The JSON array of the container's keys; empty (with the status in
// *status) when it cannot be opened or a key cannot be read. Only "no such
// key" means a key is absent: damage or refusal is never an empty list.
std::string ContainerKeys(const std::u16string& provider, DWORD type,
                          const std::u16string& container, HRESULT* status) {
  ProviderHandle h;
  if (!Plat().CryptAcquireContextW(&h.value, container.c_str(), provider.c_str(), type, 0)) {
    *status = FailedCallStatusFullRule();
    h.value = 0;
    return {};
  }
  std::string keys = "[";
  for (DWORD spec : {DWORD{AT_KEYEXCHANGE}, DWORD{AT_SIGNATURE}}) {
    KeyHandle key;
    if (!Plat().CryptGetUserKey(h.value, spec, &key.value)) {
      key.value = 0;
      if (Plat().GetLastError() == static_cast<DWORD>(NTE_NO_KEY)) continue;
      *status = FailedCallStatusFullRule();
      return {};
    }
    const DWORD algorithm = KeyParam(key.value, KP_ALGID);
    const bool sm2 = algorithm == KL_CALG_SM2_KEYX || algorithm == KL_CALG_SM2_SIGN;
    const std::string publicKey = PublicKeyInfo(h.value, key.value, spec, sm2);
    if (keys.size() > 1) keys += ",";
    keys += "{\"spec\":\"" + std::string(spec == AT_KEYEXCHANGE ? "exchange" : "signature") +
            "\",\"algorithm\":\"" + (sm2 ? "SM2" : "RSA") +
            "\",\"bits\":" + std::to_string(KeyParam(key.value, KP_KEYLEN)) +
            ",\"publicKey\":" + (publicKey.empty() ? "null" : JsonString(publicKey)) +
            ",\"certificate\":" + Certificate(key.value) + "}";
  }
  return keys + "]";
}

// Names of the provider's containers (PP_ENUMCONTAINERS); S_OK, or the
// status of the call that failed (a damaged or unreadable home).
HRESULT Containers(const std::u16string& provider, DWORD type,
                   std::vector<std::u16string>* names) {
  ProviderHandle h;
  if (!Plat().CryptAcquireContextW(&h.value, nullptr, provider.c_str(), type,
                                   CRYPT_VERIFYCONTEXT)) {
    h.value = 0;
    return FailedCallStatusFullRule();
  }
  for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
    char name[1024] = {};
    DWORD size = sizeof name - 1;
    if (!Plat().CryptGetProvParam(h.value, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name),
                                  &size, flags))
      return Plat().GetLastError() == ERROR_NO_MORE_ITEMS ? S_OK : FailedCallStatusFullRule();
    names->push_back(Utf8ToUtf16(std::string(name)));
  }
}

struct Provider {
  std::u16string name;
  DWORD type = PROV_RSA_FULL;
};

// The installed providers with their types, in the platform's order; an
// entry that cannot be read is left out.
std::vector<Provider> InstalledProviders() {
  const Platform& p = Plat();
  std::vector<Provider> out;
  for (DWORD index = 0, unreadable = 0; unreadable < 16; ++index) {
    DWORD type = 0, size = 0;
    if (!p.CryptEnumProvidersW(index, nullptr, 0, &type, nullptr, &size)) {
      if (p.GetLastError() == ERROR_NO_MORE_ITEMS) break;
      ++unreadable;
      continue;
    }
    std::u16string name(size / sizeof(char16_t) + 1, u'\0');
    if (!p.CryptEnumProvidersW(index, nullptr, 0, &type, name.data(), &size)) {
      ++unreadable;
      continue;
    }
    unreadable = 0;
    name.resize(WideLength(name.c_str()));
    out.push_back({name, type});
  }
  return out;
}

// The provider types whose keys this tool reads: the RSA families (RSA and
// SM2 tokens follow the full RSA type's conventions). DSS and
// Diffie-Hellman providers hold keys of other kinds.
bool ReadableType(DWORD type) {
  constexpr DWORD kProvRsaSchannel = 12, kProvRsaAes = 24;
  return type == PROV_RSA_FULL || type == kProvRsaSchannel || type == kProvRsaAes;
}

// The named provider with its installed type (the full RSA type when it is
// not enumerated).
Provider Named(const std::u16string& name) {
  for (const Provider& provider : InstalledProviders())
    if (provider.name == name) return provider;
  return {name, PROV_RSA_FULL};
}

int List(const std::u16string& only) {
  const std::vector<Provider> providers =
      only.empty() ? InstalledProviders() : std::vector<Provider>{Named(only)};
  // Providers that share one container namespace report the same
  // containers; each container and key set is printed once.
  std::set<std::string> printed;
  int code = 0;
  for (const Provider& provider : providers) {
    const std::string name = Utf16ToUtf8(provider.name);
    if (!ReadableType(provider.type)) {
      std::fprintf(stderr, "keyloom key list: %s skipped: provider type %u holds no RSA or SM2 keys\n",
                   name.c_str(), static_cast<unsigned>(provider.type));
      continue;
    }
    std::vector<std::u16string> names;
    if (HRESULT hr = Containers(provider.name, provider.type, &names); FAILED(hr)) {
      code = ReportFailure("key list " + name, hr);
      continue;
    }
    for (const std::u16string& container : names) {
      HRESULT hr = S_OK;
      const std::string keys = ContainerKeys(provider.name, provider.type, container, &hr);
      const std::string containerName = Utf16ToUtf8(container);
      // A container deleted since the enumeration is simply no longer there.
      if (keys.empty() && hr == static_cast<HRESULT>(NTE_BAD_KEYSET)) continue;
      if (keys.empty()) code = ReportFailure("key list " + name + " " + containerName, hr);
      if (keys.empty() || !printed.insert(containerName + keys).second) continue;
      std::printf("{\"provider\":%s,\"container\":%s,\"keys\":%s}\n", JsonString(name).c_str(),
                  JsonString(containerName).c_str(), keys.c_str());
    }
  }
  return code;
}

int Delete(const std::u16string& provider, const std::u16string& container) {
  const Platform& p = Plat();
  const DWORD type = Named(provider).type;
  HCRYPTPROV ignored = 0;
  // Tokens of other makers delete with their own flag value.
  bool deleted = p.CryptAcquireContextW(&ignored, container.c_str(), provider.c_str(), type,
                                        CRYPT_DELETEKEYSET);
  if (!deleted && p.GetLastError() == static_cast<DWORD>(NTE_BAD_FLAGS))
    deleted = p.CryptAcquireContextW(&ignored, container.c_str(), provider.c_str(), type,
                                     KL_DELETEKEYSET_SM2);
  if (!deleted) return ReportFailure("key delete", FailedCallStatusFullRule());
  std::printf("{\"provider\":%s,\"container\":%s,\"deleted\":true}\n",
              JsonString(Utf16ToUtf8(provider)).c_str(),
              JsonString(Utf16ToUtf8(container)).c_str());
  return 0;
}

}  // namespace

int RunKeyCommand(const std::vector<std::string>& args) {
  if (args.empty()) return 2;
  std::u16string provider, container;
  for (size_t i = 1; i < args.size(); ++i) {
    if (i + 1 >= args.size()) return 2;
    if (args[i] == "--provider") provider = Utf8ToUtf16(args[++i]);
    else if (args[i] == "--container") container = Utf8ToUtf16(args[++i]);
    else return 2;
  }
  if (args[0] == "list" && container.empty()) return List(provider);
  if (args[0] == "delete" && !provider.empty() && !container.empty())
    return Delete(provider, container);
  if (args[0] == "verify" && !provider.empty() && !container.empty())
    return RunKeyVerify(provider, Named(provider).type, container);
  return 2;
}
