#include "support/FaultPlatform.h"

#include <cstdio>
#include <string_view>
#include <type_traits>

#include "encoding/Unicode.h"

namespace {

FaultPlatform* g_active = nullptr;

// How a failed entry reports its failure.
enum Kind { kValue, kCode, kHresult, kHandle };

// Every entry of the table with its failure kind.
#define KL_FAULT_ENTRIES(X)                                                                  \
  X(GetLastError, kValue) X(SetLastError, kValue) X(FormatMessageW, kValue)                 \
  X(LoadStringW, kValue) X(GetUserDefaultUILanguage, kValue) X(GetThreadLocale, kValue)     \
  X(SetThreadLocale, kValue) X(MultiByteToWideChar, kValue) X(WideCharToMultiByte, kValue)  \
  X(CoInitialize, kHresult) X(CoUninitialize, kValue) X(CoCreateGuid, kHresult)             \
  X(StringFromGUID2, kValue) X(CoCreateInstance, kHresult) X(ComRelease, kValue)            \
  X(CryptEnumProvidersW, kValue) X(CryptAcquireContextW, kValue)                            \
  X(CryptReleaseContext, kValue) X(CryptGetProvParam, kValue) X(CryptGenKey, kValue)        \
  X(CryptGetUserKey, kValue) X(CryptExportKey, kValue) X(CryptExportPublicKeyInfo, kValue)  \
  X(CryptImportKey, kValue) X(CryptSetKeyParam, kValue) X(CryptGetKeyParam, kValue)         \
  X(CryptDecrypt, kValue) X(CryptGenRandom, kValue) X(CryptCreateHash, kValue)              \
  X(CryptHashData, kValue) X(CryptGetHashParam, kValue) X(CryptSignHashW, kValue)           \
  X(CryptDestroyHash, kValue) X(CryptDestroyKey, kValue) X(CryptEncodeObject, kValue)       \
  X(CertOpenStore, kValue) X(CertCloseStore, kValue) X(CertEnumCertificatesInStore, kValue) \
  X(CertFindCertificateInStore, kValue) X(CertAddCertificateContextToStore, kValue)         \
  X(CertAddEncodedCertificateToStore, kValue) X(CertGetCertificateContextProperty, kValue)  \
  X(CertSetCertificateContextProperty, kValue) X(CertDuplicateCertificateContext, kValue)   \
  X(CertFreeCertificateContext, kValue) X(CertNameToStrW, kValue)                           \
  X(CryptVerifyCertificateSignatureEx, kValue)                                              \
  X(CertGetCertificateChain, kValue) X(CertFreeCertificateChain, kValue)                    \
  X(CertFreeCertificateChainEngine, kValue) X(GetVersionExW, kValue)                        \
  X(VerifyVersionInfoW, kValue) X(VerSetConditionMask, kValue) X(RegOpenKeyExW, kCode)      \
  X(RegCreateKeyExW, kCode) X(RegSetValueExW, kCode) X(RegQueryValueExW, kCode)             \
  X(RegEnumKeyExW, kCode) X(RegDeleteValueW, kCode) X(RegDeleteTreeW, kCode)                \
  X(RegCloseKey, kCode) X(FindResourceW, kValue) X(SizeofResource, kValue)                  \
  X(LoadResource, kValue) X(LockResource, kValue) X(GetModuleFileNameW, kValue)             \
  X(FileTimeToSystemTime, kValue) X(SystemTimeToFileTime, kValue)                           \
  X(FileTimeToLocalFileTime, kValue) X(GetTempPathW, kValue) X(CreateFileW, kHandle)        \
  X(WriteFile, kValue) X(CloseHandle, kValue) X(DeleteFileW, kValue)                        \
  X(PathFileExistsW, kValue) X(XmlLoad, kHresult) X(XmlLastChild, kHresult)                 \
  X(XmlChildAt, kHresult) X(XmlChildCount, kHresult) X(XmlNodeName, kHresult)               \
  X(XmlText, kHresult) X(XmlFreeText, kValue) X(XmlRelease, kValue)                         \
  X(SetZoneMapping, kHresult) X(GetZoneAttributes, kHresult) X(SetZoneAttributes, kHresult) \
  X(MapUrlToZone, kHresult)                                                                 \
  X(TraceRegister, kValue) X(TraceUnregister, kValue) X(TraceWrite, kValue)

std::string Hex(uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%zx", static_cast<size_t>(value));
  return text;
}

// Only texts the caller passes in (const) are read; out buffers are not.
template <typename C>
std::string Text(const C* p) {
  if (p == nullptr) return "null";
  const auto value = reinterpret_cast<uintptr_t>(p);
  if ((value >> 16) == 0) {  // an integer resource or type
    char number[16];
    std::snprintf(number, sizeof number, "#%u", static_cast<unsigned>(value));
    return number;
  }
  if constexpr (std::is_same_v<C, char16_t>) return Utf16ToUtf8(p);
  else return std::string(p);
}

template <typename T>
std::string Format(const T& value) {
  if constexpr (std::is_same_v<T, const char16_t*>) return Text(value);
  else if constexpr (std::is_same_v<T, const char*>) return Text(value);
  else if constexpr (std::is_integral_v<T>) return std::to_string(value);
  else if constexpr (std::is_pointer_v<T>) return value ? Hex(reinterpret_cast<uintptr_t>(value)) : "null";
  else return "{...}";  // structures passed by reference
}

template <typename F>
struct Entry;

template <typename R, typename... A>
struct Entry<R (*)(A...)> {
  using Fn = R (*)(A...);
  template <const char* Name, int K, Fn Platform::*M>
  static R Call(A... a) {
    FaultPlatform* self = g_active;
    DWORD error = 0;
    if (self->Enter(Name, {Format(a)...}, &error)) {
      if constexpr (std::is_void_v<R>) {
        self->inner().SetLastError(error);
        return;
      } else if constexpr (K == kCode) {
        return static_cast<R>(error);
      } else if constexpr (K == kHresult) {
        return static_cast<R>(HRESULT_FROM_WIN32(error));
      } else if constexpr (K == kHandle) {
        self->inner().SetLastError(error);
        return INVALID_HANDLE_VALUE;
      } else {
        self->inner().SetLastError(error);
        return R{};
      }
    }
    return (self->inner().*M)(a...);
  }
};

#define KL_FAULT_NAME(name, kind) constexpr char kName_##name[] = #name;
KL_FAULT_ENTRIES(KL_FAULT_NAME)
#undef KL_FAULT_NAME

// A table entry added without a wrapper here would bypass the recording.
#define KL_FAULT_COUNT(name, kind) +1
static_assert((0 KL_FAULT_ENTRIES(KL_FAULT_COUNT)) * sizeof(void (*)()) == sizeof(Platform),
              "every platform entry needs its wrapper");
#undef KL_FAULT_COUNT

void Wrap(Platform& t) {
#define KL_FAULT_WRAP(name, kind) \
  t.name = &Entry<decltype(Platform::name)>::template Call<kName_##name, kind, &Platform::name>;
  KL_FAULT_ENTRIES(KL_FAULT_WRAP)
#undef KL_FAULT_WRAP
}

}  // namespace

FaultPlatform::FaultPlatform() : inner_(&Plat()) {
  Wrap(table_);
  g_active = this;
  previous_ = SetPlatform(&table_);
}

FaultPlatform::~FaultPlatform() {
  SetPlatform(previous_ == &DefaultPlatform() ? nullptr : previous_);
  g_active = nullptr;
}

void FaultPlatform::FailCall(const std::string& name, int occurrence, DWORD error) {
  std::lock_guard<std::mutex> hold(lock_);
  plans_[name].push_back({occurrence, error});
}

void FaultPlatform::Reset() {
  std::lock_guard<std::mutex> hold(lock_);
  plans_.clear();
  calls_.clear();
}

std::vector<FaultPlatform::Call> FaultPlatform::calls() const {
  std::lock_guard<std::mutex> hold(lock_);
  return calls_;
}

std::vector<FaultPlatform::Call> FaultPlatform::CallsOf(const std::string& name) const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<Call> out;
  for (const Call& c : calls_)
    if (c.name == name) out.push_back(c);
  return out;
}

size_t FaultPlatform::CountOf(const std::string& name) const { return CallsOf(name).size(); }

bool FaultPlatform::Enter(const char* name, std::vector<std::string> args, DWORD* error) {
  std::lock_guard<std::mutex> hold(lock_);
  calls_.push_back({name, std::move(args)});
  auto it = plans_.find(name);
  if (it == plans_.end()) return false;
  bool fail = false;
  for (Plan& plan : it->second) {
    ++plan.seen;
    if (!fail && (plan.occurrence == 0 || plan.seen == plan.occurrence)) {
      fail = true;
      *error = plan.error;
    }
  }
  return fail;
}
