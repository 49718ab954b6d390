#include "module/Registration.h"

#include "base/ModuleState.h"
#include "base/Status.h"
#include "control/ICryptoAgent.h"
#include "encoding/Buffer.h"
#include "encoding/Unicode.h"
#include "module/Registrar.h"
#include "module/TrustSites.h"
#include "store/ChainDocument.h"
#include "trace/Trace.h"

TRACE_COMPONENT("Registration");

namespace {

constexpr DWORD kRegKindNone = 2;  // REGKIND_NONE: load without registering
constexpr HRESULT kNotOffered = static_cast<HRESULT>(0x80070078);  // ERROR_CALL_NOT_IMPLEMENTED

std::u16string GuidText(const GUID& g) {
  char16_t text[40] = {};
  Plat().StringFromGUID2(g, text, 40);
  return text;
}

// Script text of a resource: UTF-16 when it starts with its byte-order
// mark, UTF-8 otherwise.
std::u16string ScriptText(const BYTE* data, DWORD size) {
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    std::u16string text((size - 2) / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<char16_t>(data[2 + 2 * i] | (data[3 + 2 * i] << 8));
    return text;
  }
  return Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
}

// The module's type library, loaded; released on scope exit.
struct TypeLib {
  void* lib = nullptr;
  std::u16string path;
  ~TypeLib() {
    if (lib != nullptr) Plat().ComRelease(lib);
  }
};

HRESULT LoadModuleTypeLib(TypeLib* t) {
  HRESULT hr = ModuleFilePath(&t->path);
  if (FAILED(hr)) return hr;
  hr = Plat().LoadTypeLibEx(t->path.c_str(), kRegKindNone, &t->lib);
  if (SUCCEEDED(hr)) return hr;
  const size_t slash = t->path.find_last_of(u"\\/");
  const size_t dot = t->path.rfind(u'.');
  std::u16string tlb = (dot != std::u16string::npos && (slash == std::u16string::npos || dot > slash))
                           ? t->path.substr(0, dot)
                           : t->path;
  tlb += u".tlb";
  if (tlb.size() >= MAX_PATH) return E_FAIL;
  t->path = tlb;
  return Plat().LoadTypeLibEx(t->path.c_str(), kRegKindNone, &t->lib);
}

// Runs `body` with the thread's locale set to the system default.
template <typename F>
HRESULT UnderSystemLocale(F body) {
  const LCID saved = Plat().GetThreadLocale();
  Plat().SetThreadLocale(LOCALE_SYSTEM_DEFAULT);
  const HRESULT hr = body();
  Plat().SetThreadLocale(saved);
  return hr;
}

void InstallChainDocument(WORD id, const char16_t* loadStep, const char16_t* importStep) {
  BYTE* data = nullptr;
  DWORD size = 0;
  HRESULT hr = LoadModuleResource(Module().instance, u"CERTIFICATE", id, &data, &size);
  TraceStep(loadStep, hr);
  if (SUCCEEDED(hr)) TraceStep(importStep, ImportCertificateChainfromBlobData(data, size));
  FreeBuffer(data);
}

}  // namespace

HRESULT ModuleFilePath(std::u16string* path) {
  char16_t buffer[MAX_PATH] = {};
  const DWORD n = Plat().GetModuleFileNameW(Module().instance, buffer, MAX_PATH);
  if (n == 0) return FailedCallStatusWin32Rule();
  if (n >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  path->assign(buffer, n);
  return S_OK;
}

HRESULT ModuleReplacements(std::vector<RegReplacement>* replacements) {
  std::u16string path;
  const HRESULT hr = ModuleFilePath(&path);
  if (FAILED(hr)) return hr;
  std::u16string quoted;
  for (char16_t c : path) {
    quoted += c;
    if (c == u'\'') quoted += c;
  }
  *replacements = {{u"Module", quoted}, {u"Module_Raw", path}, {u"APPID", GuidText(APPID_Keyloom)}};
  return S_OK;
}

HRESULT UpdateRegistryFromResource(WORD id, bool install) {
  TraceHelper trace("UpdateRegistryFromResource");
  std::vector<RegReplacement> replacements;
  HRESULT hr = ModuleReplacements(&replacements);
  if (FAILED(hr)) return hr;
  HMODULE module = Module().instance;
  HRSRC found = Plat().FindResourceW(module, U16(MAKEINTRESOURCEW(id)), u"REGISTRY");
  if (found == nullptr) return FailedCallStatusWin32Rule();
  // An empty script would register nothing and report success.
  const DWORD size = Plat().SizeofResource(module, found);
  if (size == 0) return FailedCallStatusWin32Rule();
  HGLOBAL loaded = Plat().LoadResource(module, found);
  const void* data = loaded ? Plat().LockResource(loaded) : nullptr;
  if (data == nullptr) return FailedCallStatusWin32Rule();
  const std::u16string text = ScriptText(static_cast<const BYTE*>(data), size);
  hr = RunRegScriptText(text, replacements, install, Module().perUser);
  TRACE_VALUE(static_cast<uint32_t>(id), hr);
  return hr;
}

HRESULT RegisterModuleTypeLib() {
  TypeLib t;
  HRESULT hr = LoadModuleTypeLib(&t);
  if (FAILED(hr)) return hr;
  const std::u16string folder = t.path.substr(0, t.path.find_last_of(u"\\/"));
  if (Module().perUser) {
    hr = Plat().RegisterTypeLibForUser(t.lib, t.path.c_str(), folder.c_str());
    if (hr != kNotOffered) return hr;
  }
  return Plat().RegisterTypeLib(t.lib, t.path.c_str(), folder.c_str());
}

HRESULT UnregisterModuleTypeLib() {
  TypeLib t;
  HRESULT hr = LoadModuleTypeLib(&t);
  if (FAILED(hr)) return hr;
  KlTypeLibAttr a{};
  hr = Plat().TypeLibAttributes(t.lib, &a);
  if (FAILED(hr)) return hr;
  if (Module().perUser) {
    hr = Plat().UnRegisterTypeLibForUser(a.guid, a.majorVersion, a.minorVersion, a.lcid, a.sysKind);
    if (hr != kNotOffered) return hr;
  }
  return Plat().UnRegisterTypeLib(a.guid, a.majorVersion, a.minorVersion, a.lcid, a.sysKind);
}

HRESULT RegisterComServer() {
  return UnderSystemLocale([] {
    HRESULT hr = UpdateRegistryFromResource(kAppIdScript, true);
    if (SUCCEEDED(hr)) hr = UpdateRegistryFromResource(kClassScript, true);
    if (SUCCEEDED(hr)) hr = RegisterModuleTypeLib();
    return hr;
  });
}

HRESULT UnregisterComServer() {
  return UnderSystemLocale([] {
    HRESULT hr = UpdateRegistryFromResource(kClassScript, false);
    if (SUCCEEDED(hr)) hr = UnregisterModuleTypeLib();
    if (SUCCEEDED(hr)) hr = UpdateRegistryFromResource(kAppIdScript, false);
    return hr;
  });
}

void InstallPrerequisites() {
  const HRESULT init = Plat().CoInitialize(nullptr);
  TraceStep(u"DllRegisterServer-CoInitialize", init);
  InstallChainDocument(kRsaChainDocument, u"DllRegisterServer-LoadModuleResource",
                       u"DllRegisterServer-ImportCertificateChainfromBlobData");
  InstallChainDocument(kSm2ChainDocument, u"LoadModuleResource(SM2 cert chain)",
                       u"ImportCertificateChainfromBlobData(SM2 cert chain)");
  // Only a successful initialization is balanced: uninitializing after a
  // refused one would undo the caller's own.
  if (SUCCEEDED(init)) Plat().CoUninitialize();
  const HRESULT sites = AddTrustSites(Module().instance, kTrustedSiteList);
  TRACE_VALUE(u"AddTrustSites", sites);
}

bool IsPerUserCommandLine(const char16_t* commandLine) {
  if (commandLine == nullptr) return false;
  static const char16_t kUser[5] = u"user";
  for (int i = 0; i < 5; ++i) {
    const char16_t c = AsciiLower(commandLine[i]);
    if (c != kUser[i]) return false;
    if (c == 0) break;
  }
  return true;
}
