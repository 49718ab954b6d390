// Every entry starts as "not implemented here": it fails through the
// last-error value (ERROR_CALL_NOT_IMPLEMENTED) with the failure result of
// its Win32 call, so no entry is ever null.
#include "platform/soft/SoftTable.h"

#include <type_traits>

namespace {

constexpr DWORD kNotImplemented = ERROR_CALL_NOT_IMPLEMENTED;

template <typename R>
struct Failing;

template <typename R, typename... A>
struct Failing<R (*)(A...)> {
  static R Call(A...) {
    SoftSetLastError(kNotImplemented);
    if constexpr (std::is_void_v<R>) return;
    else return R{};
  }
};

template <typename R, typename... A>
struct FailingWith {
  template <R kValue>
  static R Call(A...) {
    SoftSetLastError(kNotImplemented);
    return kValue;
  }
};

template <typename F>
void Fail(F& entry) {
  entry = &Failing<F>::Call;
}

// Entries whose failure result is not the zero of their type.
template <typename R, typename... A>
void FailHr(R (*&entry)(A...)) {
  entry = &FailingWith<R, A...>::template Call<static_cast<R>(E_NOTIMPL)>;
}
template <typename R, typename... A>
void FailReg(R (*&entry)(A...)) {
  entry = &FailingWith<R, A...>::template Call<static_cast<R>(kNotImplemented)>;
}

HANDLE FailCreateFile(const char16_t*, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
  SoftSetLastError(kNotImplemented);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

void SoftFillUnimplemented(Platform& t) {
  Fail(t.GetLastError);
  Fail(t.SetLastError);
  Fail(t.FormatMessageW);
  Fail(t.LoadStringW);
  Fail(t.GetUserDefaultUILanguage);
  Fail(t.GetThreadLocale);
  Fail(t.SetThreadLocale);
  Fail(t.MultiByteToWideChar);
  Fail(t.WideCharToMultiByte);
  FailHr(t.CoInitialize);
  Fail(t.CoUninitialize);
  FailHr(t.CoCreateGuid);
  Fail(t.StringFromGUID2);
  FailHr(t.CoCreateInstance);
  Fail(t.ComRelease);
  Fail(t.CryptEnumProvidersW);
  Fail(t.CryptAcquireContextW);
  Fail(t.CryptReleaseContext);
  Fail(t.CryptGetProvParam);
  Fail(t.CryptGenKey);
  Fail(t.CryptGetUserKey);
  Fail(t.CryptExportKey);
  Fail(t.CryptExportPublicKeyInfo);
  Fail(t.CryptImportKey);
  Fail(t.CryptSetKeyParam);
  Fail(t.CryptGetKeyParam);
  Fail(t.CryptDecrypt);
  Fail(t.CryptGenRandom);
  Fail(t.CryptCreateHash);
  Fail(t.CryptHashData);
  Fail(t.CryptGetHashParam);
  Fail(t.CryptSignHashW);
  Fail(t.CryptDestroyHash);
  Fail(t.CryptDestroyKey);
  Fail(t.CryptEncodeObject);
  Fail(t.CertOpenStore);
  Fail(t.CertCloseStore);
  Fail(t.CertEnumCertificatesInStore);
  Fail(t.CertFindCertificateInStore);
  Fail(t.CertAddCertificateContextToStore);
  Fail(t.CertAddEncodedCertificateToStore);
  Fail(t.CertGetCertificateContextProperty);
  Fail(t.CertSetCertificateContextProperty);
  Fail(t.CertDuplicateCertificateContext);
  Fail(t.CertFreeCertificateContext);
  Fail(t.CertNameToStrW);
  Fail(t.CryptVerifyCertificateSignatureEx);
  Fail(t.CertGetCertificateChain);
  Fail(t.CertFreeCertificateChain);
  Fail(t.CertFreeCertificateChainEngine);
  Fail(t.GetVersionExW);
  Fail(t.VerifyVersionInfoW);
  Fail(t.VerSetConditionMask);
  FailReg(t.RegOpenKeyExW);
  FailReg(t.RegCreateKeyExW);
  FailReg(t.RegSetValueExW);
  FailReg(t.RegQueryValueExW);
  FailReg(t.RegEnumKeyExW);
  FailReg(t.RegDeleteValueW);
  FailReg(t.RegDeleteTreeW);
  FailReg(t.RegCloseKey);
  Fail(t.FindResourceW);
  Fail(t.SizeofResource);
  Fail(t.LoadResource);
  Fail(t.LockResource);
  Fail(t.GetModuleFileNameW);
  Fail(t.FileTimeToSystemTime);
  Fail(t.SystemTimeToFileTime);
  Fail(t.FileTimeToLocalFileTime);
  Fail(t.GetTempPathW);
  t.CreateFileW = &FailCreateFile;
  Fail(t.WriteFile);
  Fail(t.CloseHandle);
  Fail(t.DeleteFileW);
  Fail(t.PathFileExistsW);
  FailHr(t.XmlLoad);
  FailHr(t.XmlLastChild);
  FailHr(t.XmlChildAt);
  FailHr(t.XmlChildCount);
  FailHr(t.XmlNodeName);
  FailHr(t.XmlText);
  Fail(t.XmlFreeText);
  Fail(t.XmlRelease);
  FailHr(t.SetZoneMapping);
  FailHr(t.GetZoneAttributes);
  FailHr(t.SetZoneAttributes);
  FailHr(t.MapUrlToZone);
  Fail(t.TraceRegister);
  Fail(t.TraceUnregister);
  Fail(t.TraceWrite);
}
