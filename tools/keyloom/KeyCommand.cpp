#include "keyloom/KeyCommand.h"

#include <cstdio>
#include <set>

#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "control/ProviderList.h"
#include "base/Status.h"
#include "encoding/Base64.h"
#include "encoding/Buffer.h"
#include "encoding/Unicode.h"
#include "request/Sm2TempKey.h"
#include "keyloom/Failure.h"
#include "keyloom/Json.h"
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
    hr = ComposeSignPublicKeyData(kOidEcPublicKey, kOidSm2Curve, point, sizeof point, &der,
                                  &derLength, true);
  } else {
    const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    if (!p.CryptExportPublicKeyInfo(provider, spec, encoding, nullptr, &size)) return {};
    ScopedBuffer<BYTE> buffer(AllocZeroed<BYTE>(size));
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.get());
    if (!buffer || !p.CryptExportPublicKeyInfo(provider, spec, encoding, info, &size)) return {};
    hr = ComposeSignPublicKeyData(kOidRsaEncryption, "", info->PublicKey.pbData,
                                  info->PublicKey.cbData, &der, &derLength, false);
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
// *status) when it cannot be opened.
std::string ContainerKeys(const std::u16string& provider, const std::u16string& container,
                          HRESULT* status) {
  ProviderHandle h;
  if (!Plat().CryptAcquireContextW(&h.value, container.c_str(), provider.c_str(), PROV_RSA_FULL,
                                   0)) {
    *status = StatusOfFailedCall();
    h.value = 0;
    return {};
  }
  std::string keys = "[";
  for (DWORD spec : {DWORD{AT_KEYEXCHANGE}, DWORD{AT_SIGNATURE}}) {
    KeyHandle key;
    if (!Plat().CryptGetUserKey(h.value, spec, &key.value)) {
      key.value = 0;
      continue;
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
HRESULT Containers(const std::u16string& provider, std::vector<std::u16string>* names) {
  ProviderHandle h;
  if (!Plat().CryptAcquireContextW(&h.value, nullptr, provider.c_str(), PROV_RSA_FULL,
                                   CRYPT_VERIFYCONTEXT)) {
    h.value = 0;
    return StatusOfFailedCall();
  }
  for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
    char name[1024] = {};
    DWORD size = sizeof name - 1;
    if (!Plat().CryptGetProvParam(h.value, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name),
                                  &size, flags))
      return Plat().GetLastError() == ERROR_NO_MORE_ITEMS ? S_OK : StatusOfFailedCall();
    names->push_back(Utf8ToUtf16(std::string(name)));
  }
}

std::vector<std::u16string> SplitList(const std::u16string& list) {
  std::vector<std::u16string> out;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(u"||", start);
    if (end == std::u16string::npos) end = list.size();
    out.push_back(list.substr(start, end - start));
    start = end + 2;
  }
  return out;
}

int List(const std::u16string& only) {
  std::vector<std::u16string> providers;
  if (!only.empty()) {
    providers.push_back(only);
  } else {
    std::u16string list;
    if (HRESULT hr = GetAllCSPName(&list); FAILED(hr)) return ReportFailure("key list", hr);
    providers = SplitList(list);
  }
  // Providers that share one container namespace report the same
  // containers; each container and key set is printed once.
  std::set<std::string> printed;
  int code = 0;
  for (const std::u16string& provider : providers) {
    std::vector<std::u16string> names;
    if (HRESULT hr = Containers(provider, &names); FAILED(hr)) {
      code = ReportFailure("key list " + Utf16ToUtf8(provider), hr);
      continue;
    }
    for (const std::u16string& container : names) {
      HRESULT hr = S_OK;
      const std::string keys = ContainerKeys(provider, container, &hr);
      const std::string name = Utf16ToUtf8(container);
      if (keys.empty()) code = ReportFailure("key list " + Utf16ToUtf8(provider) + " " + name, hr);
      if (keys.empty() || !printed.insert(name + keys).second) continue;
      std::printf("{\"provider\":%s,\"container\":%s,\"keys\":%s}\n",
                  JsonString(Utf16ToUtf8(provider)).c_str(), JsonString(name).c_str(),
                  keys.c_str());
    }
  }
  return code;
}

int Delete(const std::u16string& provider, const std::u16string& container) {
  const Platform& p = Plat();
  HCRYPTPROV ignored = 0;
  // Tokens of other makers delete with their own flag value.
  bool deleted = p.CryptAcquireContextW(&ignored, container.c_str(), provider.c_str(),
                                        PROV_RSA_FULL, CRYPT_DELETEKEYSET);
  if (!deleted && p.GetLastError() == static_cast<DWORD>(NTE_BAD_FLAGS))
    deleted = p.CryptAcquireContextW(&ignored, container.c_str(), provider.c_str(),
                                     PROV_RSA_FULL, KL_DELETEKEYSET_SM2);
  if (!deleted) return ReportFailure("key delete", StatusOfFailedCall());
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
  return 2;
}
