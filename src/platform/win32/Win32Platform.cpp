// The win32 table: each entry forwards to the real platform call, converting
// char16_t text to the platform's 16-bit wchar_t at the boundary.
#ifdef _WIN32


#include "base/Platform.h"
#include "platform/win32/Win32Table.h"

#include <shlwapi.h>

namespace {

Platform BuildWin32Table() {
  Platform t{};
  FillUnimplemented(t);  // what this table does not forward
  t.GetLastError = [] { return ::GetLastError(); };
  t.SetLastError = [](DWORD e) { ::SetLastError(e); };
  t.FormatMessageW = [](DWORD flags, const void* source, DWORD id, DWORD lang, char16_t* buffer,
                        DWORD size, void* args) {
    return ::FormatMessageW(flags, source, id, lang, W(buffer), size,
                            static_cast<va_list*>(args));
  };
  t.LoadStringW = [](HINSTANCE module, UINT id, char16_t* buffer, int size) {
    return ::LoadStringW(module, id, W(buffer), size);
  };
  t.GetUserDefaultUILanguage = [] { return ::GetUserDefaultUILanguage(); };
  t.GetThreadLocale = [] { return ::GetThreadLocale(); };
  t.SetThreadLocale = [](LCID locale) { return ::SetThreadLocale(locale); };
  t.MultiByteToWideChar = [](UINT cp, DWORD flags, const char* text, int length,
                             char16_t* buffer, int size) {
    return ::MultiByteToWideChar(cp, flags, text, length, W(buffer), size);
  };
  t.WideCharToMultiByte = [](UINT cp, DWORD flags, const char16_t* text, int length,
                             char* buffer, int size, const char* defaultChar, BOOL* used) {
    return ::WideCharToMultiByte(cp, flags, W(text), length, buffer, size, defaultChar, used);
  };

  t.CoInitialize = [](void* reserved) { return ::CoInitialize(reserved); };
  t.CoUninitialize = [] { ::CoUninitialize(); };
  t.CoCreateGuid = [](GUID* guid) { return ::CoCreateGuid(guid); };
  t.StringFromGUID2 = [](REFGUID guid, char16_t* buffer, int size) {
    return ::StringFromGUID2(guid, W(buffer), size);
  };
  t.CoCreateInstance = [](REFCLSID clsid, void* outer, DWORD context, REFIID iid, void** object) {
    return ::CoCreateInstance(clsid, static_cast<IUnknown*>(outer), context, iid, object);
  };
  t.ComRelease = [](void* object) -> ULONG {
    return object ? static_cast<IUnknown*>(object)->Release() : 0;
  };

  t.CreateErrorInfo = [](ICreateErrorInfo** info) { return ::CreateErrorInfo(info); };
  t.SetErrorInfo = [](ULONG reserved, IErrorInfo* info) { return ::SetErrorInfo(reserved, info); };
  t.GetErrorInfo = [](ULONG reserved, IErrorInfo** info) { return ::GetErrorInfo(reserved, info); };

  t.CryptEnumProvidersW = [](DWORD index, DWORD* reserved, DWORD flags, DWORD* type,
                             char16_t* name, DWORD* size) {
    return ::CryptEnumProvidersW(index, reserved, flags, type, W(name), size);
  };
  t.CryptAcquireContextW = [](HCRYPTPROV* prov, const char16_t* container,
                              const char16_t* provider, DWORD type, DWORD flags) {
    return ::CryptAcquireContextW(prov, W(container), W(provider), type, flags);
  };
  t.CryptReleaseContext = [](HCRYPTPROV prov, DWORD flags) {
    return ::CryptReleaseContext(prov, flags);
  };
  t.CryptGetProvParam = [](HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* length,
                           DWORD flags) { return ::CryptGetProvParam(prov, param, data, length, flags); };
  t.CryptGenKey = [](HCRYPTPROV prov, ALG_ID alg, DWORD flags, HCRYPTKEY* key) {
    return ::CryptGenKey(prov, alg, flags, key);
  };
  t.CryptGetUserKey = [](HCRYPTPROV prov, DWORD spec, HCRYPTKEY* key) {
    return ::CryptGetUserKey(prov, spec, key);
  };
  t.CryptExportKey = [](HCRYPTKEY key, HCRYPTKEY exp, DWORD type, DWORD flags, BYTE* data,
                        DWORD* length) { return ::CryptExportKey(key, exp, type, flags, data, length); };
  t.CryptExportPublicKeyInfo = [](HCRYPTPROV prov, DWORD spec, DWORD encoding,
                                  CERT_PUBLIC_KEY_INFO* info, DWORD* length) {
    return ::CryptExportPublicKeyInfo(prov, spec, encoding, info, length);
  };
  t.CryptImportKey = [](HCRYPTPROV prov, const BYTE* data, DWORD length, HCRYPTKEY pub,
                        DWORD flags, HCRYPTKEY* key) {
    return ::CryptImportKey(prov, data, length, pub, flags, key);
  };
  t.CryptSetKeyParam = [](HCRYPTKEY key, DWORD param, const BYTE* data, DWORD flags) {
    return ::CryptSetKeyParam(key, param, data, flags);
  };
  t.CryptGetKeyParam = [](HCRYPTKEY key, DWORD param, BYTE* data, DWORD* length, DWORD flags) {
    return ::CryptGetKeyParam(key, param, data, length, flags);
  };
  t.CryptDecrypt = [](HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                      DWORD* length) { return ::CryptDecrypt(key, hash, final, flags, data, length); };
  t.CryptEncrypt = [](HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                      DWORD* length, DWORD bufferLength) {
    return ::CryptEncrypt(key, hash, final, flags, data, length, bufferLength);
  };
  t.CryptGenRandom = [](HCRYPTPROV prov, DWORD length, BYTE* buffer) {
    return ::CryptGenRandom(prov, length, buffer);
  };
  t.CryptCreateHash = [](HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY key, DWORD flags,
                         HCRYPTHASH* hash) { return ::CryptCreateHash(prov, alg, key, flags, hash); };
  t.CryptHashData = [](HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags) {
    return ::CryptHashData(hash, data, length, flags);
  };
  t.CryptGetHashParam = [](HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* length,
                           DWORD flags) { return ::CryptGetHashParam(hash, param, data, length, flags); };
  t.CryptSignHashW = [](HCRYPTHASH hash, DWORD spec, const char16_t* description, DWORD flags,
                        BYTE* signature, DWORD* length) {
    return ::CryptSignHashW(hash, spec, W(description), flags, signature, length);
  };
  t.CryptDestroyHash = [](HCRYPTHASH hash) { return ::CryptDestroyHash(hash); };
  t.CryptDestroyKey = [](HCRYPTKEY key) { return ::CryptDestroyKey(key); };
  t.CryptEncodeObject = [](DWORD encoding, const char* type, const void* info, BYTE* encoded,
                           DWORD* length) {
    return ::CryptEncodeObject(encoding, type, info, encoded, length);
  };

  t.CertOpenStore = [](const char* provider, DWORD encoding, HCRYPTPROV prov, DWORD flags,
                       const void* para) {
    return ::CertOpenStore(provider, encoding, prov, flags, para);
  };
  t.CertCloseStore = [](HCERTSTORE store, DWORD flags) { return ::CertCloseStore(store, flags); };
  t.CertEnumCertificatesInStore = [](HCERTSTORE store, PCCERT_CONTEXT previous) {
    return ::CertEnumCertificatesInStore(store, previous);
  };
  t.CertFindCertificateInStore = [](HCERTSTORE store, DWORD encoding, DWORD findFlags,
                                    DWORD findType, const void* para, PCCERT_CONTEXT previous) {
    return ::CertFindCertificateInStore(store, encoding, findFlags, findType, para, previous);
  };
  t.CertAddCertificateContextToStore = [](HCERTSTORE store, PCCERT_CONTEXT cert,
                                          DWORD disposition, PCCERT_CONTEXT* added) {
    return ::CertAddCertificateContextToStore(store, cert, disposition, added);
  };
  t.CertAddEncodedCertificateToStore = [](HCERTSTORE store, DWORD encoding, const BYTE* data,
                                          DWORD length, DWORD disposition, PCCERT_CONTEXT* added) {
    return ::CertAddEncodedCertificateToStore(store, encoding, data, length, disposition, added);
  };
  t.CertDeleteCertificateFromStore = [](PCCERT_CONTEXT cert) {
    return ::CertDeleteCertificateFromStore(cert);
  };
  t.CertGetCertificateContextProperty = [](PCCERT_CONTEXT cert, DWORD id, void* data,
                                           DWORD* length) {
    return ::CertGetCertificateContextProperty(cert, id, data, length);
  };
  t.CertSetCertificateContextProperty = [](PCCERT_CONTEXT cert, DWORD id, DWORD flags,
                                           const void* data) {
    return ::CertSetCertificateContextProperty(cert, id, flags, data);
  };
  t.CertDuplicateCertificateContext = [](PCCERT_CONTEXT cert) {
    return ::CertDuplicateCertificateContext(cert);
  };
  t.CertFreeCertificateContext = [](PCCERT_CONTEXT cert) {
    return ::CertFreeCertificateContext(cert);
  };
  t.CertNameToStrW = [](DWORD encoding, const CERT_NAME_BLOB* name, DWORD type, char16_t* text,
                        DWORD size) {
    return ::CertNameToStrW(encoding, const_cast<CERT_NAME_BLOB*>(name), type, W(text), size);
  };
  t.CryptVerifyCertificateSignatureEx = [](HCRYPTPROV prov, DWORD encoding, DWORD subjectType,
                                           void* subject, DWORD issuerType, void* issuer,
                                           DWORD flags, void* extra) {
    return ::CryptVerifyCertificateSignatureEx(prov, encoding, subjectType, subject, issuerType,
                                               issuer, flags, extra);
  };
  t.CertGetCertificateChain = [](HCERTCHAINENGINE engine, PCCERT_CONTEXT cert, FILETIME* time,
                                 HCERTSTORE store, const CERT_CHAIN_PARA* para, DWORD flags,
                                 void* reserved, PCCERT_CHAIN_CONTEXT* chain) {
    return ::CertGetCertificateChain(engine, cert, time, store,
                                     const_cast<CERT_CHAIN_PARA*>(para), flags, reserved, chain);
  };
  t.CertFreeCertificateChain = [](PCCERT_CHAIN_CONTEXT chain) { ::CertFreeCertificateChain(chain); };
  t.CertFreeCertificateChainEngine = [](HCERTCHAINENGINE engine) {
    ::CertFreeCertificateChainEngine(engine);
  };
  t.GetVersionExW = [](OSVERSIONINFOEXW* info) {
    return ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(info));
  };
  t.VerifyVersionInfoW = [](OSVERSIONINFOEXW* info, DWORD type, ULONGLONG mask) {
    return ::VerifyVersionInfoW(info, type, mask);
  };
  t.VerSetConditionMask = [](ULONGLONG mask, DWORD type, BYTE condition) {
    return ::VerSetConditionMask(mask, type, condition);
  };

  t.RegOpenKeyExW = [](HKEY key, const char16_t* sub, DWORD options, REGSAM access,
                       HKEY* result) -> LSTATUS {
    return ::RegOpenKeyExW(key, W(sub), options, access, result);
  };
  t.RegCreateKeyExW = [](HKEY key, const char16_t* sub, DWORD reserved, char16_t* cls,
                         DWORD options, REGSAM access, void* security, HKEY* result,
                         DWORD* disposition) -> LSTATUS {
    return ::RegCreateKeyExW(key, W(sub), reserved, W(cls), options, access,
                             static_cast<LPSECURITY_ATTRIBUTES>(security), result, disposition);
  };
  t.RegSetValueExW = [](HKEY key, const char16_t* name, DWORD reserved, DWORD type,
                        const BYTE* data, DWORD length) -> LSTATUS {
    return ::RegSetValueExW(key, W(name), reserved, type, data, length);
  };
  t.RegQueryValueExW = [](HKEY key, const char16_t* name, DWORD* reserved, DWORD* type,
                          BYTE* data, DWORD* length) -> LSTATUS {
    return ::RegQueryValueExW(key, W(name), reserved, type, data, length);
  };
  t.RegEnumKeyExW = [](HKEY key, DWORD index, char16_t* name, DWORD* nameLength,
                       DWORD* reserved, char16_t* cls, DWORD* classLength,
                       FILETIME* lastWrite) -> LSTATUS {
    return ::RegEnumKeyExW(key, index, W(name), nameLength, reserved, W(cls), classLength,
                           lastWrite);
  };
  t.RegEnumValueW = [](HKEY key, DWORD index, char16_t* name, DWORD* nameLength,
                       DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataLength) -> LSTATUS {
    return ::RegEnumValueW(key, index, W(name), nameLength, reserved, type, data, dataLength);
  };
  t.RegDeleteValueW = [](HKEY key, const char16_t* name) -> LSTATUS {
    return ::RegDeleteValueW(key, W(name));
  };
  t.RegDeleteTreeW = [](HKEY key, const char16_t* sub) -> LSTATUS {
    return ::RegDeleteTreeW(key, W(sub));
  };
  t.RegCloseKey = [](HKEY key) -> LSTATUS { return ::RegCloseKey(key); };

  t.FindResourceW = [](HMODULE module, const char16_t* name, const char16_t* type) {
    return ::FindResourceW(module, W(name), W(type));
  };
  t.SizeofResource = [](HMODULE module, HRSRC res) { return ::SizeofResource(module, res); };
  t.LoadResource = [](HMODULE module, HRSRC res) { return ::LoadResource(module, res); };
  t.LockResource = [](HGLOBAL data) { return ::LockResource(data); };
  t.GetModuleFileNameW = [](HMODULE module, char16_t* path, DWORD size) {
    return ::GetModuleFileNameW(module, W(path), size);
  };

  t.FileTimeToSystemTime = [](const FILETIME* ft, SYSTEMTIME* st) {
    return ::FileTimeToSystemTime(ft, st);
  };
  t.SystemTimeToFileTime = [](const SYSTEMTIME* st, FILETIME* ft) {
    return ::SystemTimeToFileTime(st, ft);
  };
  t.FileTimeToLocalFileTime = [](const FILETIME* ft, FILETIME* local) {
    return ::FileTimeToLocalFileTime(ft, local);
  };

  t.GetTempPathW = [](DWORD size, char16_t* buffer) { return ::GetTempPathW(size, W(buffer)); };
  t.CreateFileW = [](const char16_t* path, DWORD access, DWORD share, void* security,
                     DWORD disposition, DWORD attributes, HANDLE templateFile) {
    return ::CreateFileW(W(path), access, share, static_cast<LPSECURITY_ATTRIBUTES>(security),
                         disposition, attributes, templateFile);
  };
  t.WriteFile = [](HANDLE file, const void* data, DWORD length, DWORD* written,
                   void* overlapped) {
    return ::WriteFile(file, data, length, written, static_cast<LPOVERLAPPED>(overlapped));
  };
  t.CloseHandle = [](HANDLE handle) { return ::CloseHandle(handle); };
  t.DeleteFileW = [](const char16_t* path) { return ::DeleteFileW(W(path)); };
  t.PathFileExistsW = [](const char16_t* path) { return ::PathFileExistsW(W(path)); };

  t.BeginCall = [] {};
  t.EndCall = [] {};

  Win32FillXmlDom(t);
  Win32FillZones(t);
  Win32FillTrace(t);
  Win32FillTypeLibs(t);
  return t;
}

}  // namespace

const Platform& DefaultPlatform() {
  static const Platform table = BuildWin32Table();
  return table;
}

#endif  // _WIN32
