#include "support/FaultPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <type_traits>

#include "encoding/Unicode.h"

namespace {

FaultPlatform* g_active = nullptr;

// How deep in platform calls the thread is: the soft platform makes calls
// of its own through the table, which are recorded but neither failed by
// FailNthCall nor counted for the balance (the caller never sees them).
thread_local int g_depth = 0;
struct Nested {
  Nested() { ++g_depth; }
  ~Nested() { --g_depth; }
};

std::string Hex(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%zx", reinterpret_cast<size_t>(p));
  return text;
}

// Only input texts (const) are read; a text passed with a length may lack
// a terminator, so it is recorded by address.
template <typename T>
std::string Format(const T& value, bool countedText) {
  if constexpr (std::is_same_v<T, const char16_t*> || std::is_same_v<T, const char*>) {
    const auto number = reinterpret_cast<uintptr_t>(value);
    if (value == nullptr) return "null";
    // "#n": an integer resource or type
    if ((number >> 16) == 0) return std::string(1, '#').append(std::to_string(number));
    if (countedText) return Hex(value);
    if constexpr (std::is_same_v<T, const char16_t*>)
      return Utf16ToUtf8(value);
    else
      return value;
  } else if constexpr (std::is_integral_v<T>) {
    return std::to_string(value);
  } else if constexpr (std::is_pointer_v<T>) {
    return value ? Hex(value) : "null";
  } else {
    return "{...}";  // structures passed by reference
  }
}

// "(prov, container, flags)" to its names.
std::vector<std::string> ArgNames(std::string_view list) {
  std::vector<std::string> names;
  std::string name;
  for (char c : list) {
    if (c == ',' || c == ')') {
      if (!name.empty()) names.push_back(name);
      name.clear();
    } else if (c != '(' && c != ' ') {
      name += c;
    }
  }
  return names;
}

template <PlatformFailure K, typename F>
struct Intercept;

template <PlatformFailure K, typename R, typename... A>
struct Intercept<K, R (*)(A...)> {
  const char* name;
  const char* argList;
  R (*Platform::*entry)(A...);

  R operator()(A... a) const {
    FaultPlatform* self = g_active;
    FaultPlatform::Call call{name, ArgNames(argList), {}};
    [[maybe_unused]] const bool counted =
        std::find(call.argNames.begin(), call.argNames.end(), "length") != call.argNames.end();
    (call.args.push_back(Format(a, counted)), ...);
    DWORD error = 0;
    call.nested = g_depth > 0;
    const Nested nested;
    if (self->Enter(call, &error)) {
      self->Account(call, false);
      self->FreeWhatAFailedCallFrees(call);
      return PlatformFailedResult<K, R>(error, self->table.SetLastError);
    }
    if constexpr (std::is_void_v<R>) {
      (self->table.*entry)(a...);
      self->Account(call, true);
    } else {
      R result = (self->table.*entry)(a...);
      bool ok;
      if constexpr (K == PlatformFailure::kHresult)
        ok = SUCCEEDED(result);
      else if constexpr (K == PlatformFailure::kStatus)
        ok = result == ERROR_SUCCESS;
      else if constexpr (K == PlatformFailure::kInvalidHandle)
        ok = result != INVALID_HANDLE_VALUE;
      else
        ok = result != R{};
      self->Account(call, ok);
      return result;
    }
  }
};

// One intercepting function per entry of the list.
#define KL_PLATFORM_ENTRY(ret, name, params, args, failure)                                        \
  ret Intercepted##name params {                                                                   \
    return Intercept<PlatformFailure::k##failure, decltype(Platform::name)>{#name, #args,          \
                                                                            &Platform::name} args; \
  }
#include "base/PlatformEntries.inc"

}  // namespace

std::string FaultPlatform::Call::Arg(std::string_view argName) const {
  for (size_t i = 0; i < argNames.size() && i < args.size(); ++i)
    if (argNames[i] == argName) return args[i];
  ADD_FAILURE() << name << " has no argument " << argName;
  return "";
}

uint64_t FaultPlatform::Call::Number(std::string_view argName) const {
  const std::string text = Arg(argName);
  return text.empty() ? 0 : static_cast<uint64_t>(std::stoll(text, nullptr, 0));
}

FaultPlatform::FaultPlatform() : table(Plat()) {
  EXPECT_EQ(g_active, nullptr) << "one FaultPlatform at a time";
#define KL_PLATFORM_ENTRY(ret, name, params, args, failure) interceptor_.name = &Intercepted##name;
#include "base/PlatformEntries.inc"
  g_active = this;
  previous_ = SetPlatform(&interceptor_);
}

FaultPlatform::~FaultPlatform() {
  if (checkBalance) {
    EXPECT_EQ(Unbalanced(), "") << "handles acquired and never released";
  }
  SetPlatform(previous_ == &DefaultPlatform() ? nullptr : previous_);
  g_active = nullptr;
}

void FaultPlatform::FailCall(const std::string& name, int occurrence, DWORD error) {
  std::lock_guard<std::mutex> hold(lock_);
  plans_[name].push_back({occurrence, error});
}

std::vector<FaultPlatform::Call> FaultPlatform::calls() const {
  std::lock_guard<std::mutex> hold(lock_);
  return calls_;
}

std::vector<FaultPlatform::Call> FaultPlatform::CallsOf(std::string_view name) const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<Call> out;
  for (const Call& c : calls_)
    if (c.name == name) out.push_back(c);
  return out;
}

namespace {

// Entries whose failure the sweep never plants.
bool Unfailable(std::string_view name) {
  static const char* const kNames[] = {
      "GetLastError", "SetLastError", "TraceRegister", "TraceUnregister", "TraceWrite",
      "CryptReleaseContext", "CryptDestroyKey", "CryptDestroyHash", "CertCloseStore",
      "CertFreeCertificateContext", "CertFreeCertificateChain", "CertFreeCertificateChainEngine",
      "RegCloseKey", "CloseHandle", "ComRelease", "XmlRelease", "XmlFreeText", "CoUninitialize"};
  for (const char* n : kNames)
    if (name == n) return true;
  return false;
}

// The kind of handle an entry hands out (+1 when it succeeds) or takes
// back (-1 when made with a handle).
struct Counted {
  const char* entry;
  const char* kind;
  int delta;
  const char* handleArg;  // the released handle; null: none to check
};
constexpr Counted kCounted[] = {
    {"CryptAcquireContextW", "provider", +1, nullptr}, {"CryptReleaseContext", "provider", -1, "prov"},
    {"CryptGenKey", "key", +1, nullptr}, {"CryptGetUserKey", "key", +1, nullptr},
    {"CryptImportKey", "key", +1, nullptr}, {"CryptDestroyKey", "key", -1, "key"},
    {"CryptCreateHash", "hash", +1, nullptr}, {"CryptDestroyHash", "hash", -1, "hash"},
    {"CertOpenStore", "store", +1, nullptr}, {"CertCloseStore", "store", -1, "store"},
    {"CertDuplicateCertificateContext", "certificate", +1, nullptr},
    {"CertFreeCertificateContext", "certificate", -1, "cert"},
    {"CertDeleteCertificateFromStore", "certificate", -1, "cert"},
    {"CertGetCertificateChain", "chain", +1, nullptr}, {"CertFreeCertificateChain", "chain", -1, "chain"},
    {"RegOpenKeyExW", "registry key", +1, nullptr}, {"RegCreateKeyExW", "registry key", +1, nullptr},
    {"RegCloseKey", "registry key", -1, "key"},
    {"CreateFileW", "file", +1, nullptr}, {"CloseHandle", "file", -1, "handle"},
    {"CoCreateInstance", "COM object", +1, nullptr}, {"LoadTypeLibEx", "COM object", +1, nullptr},
    {"XmlLastChild", "COM object", +1, nullptr}, {"XmlChildAt", "COM object", +1, nullptr},
    {"ComRelease", "COM object", -1, "object"}, {"XmlRelease", "COM object", -1, "node"},
    {"XmlNodeName", "DOM text", +1, nullptr}, {"XmlText", "DOM text", +1, nullptr},
    {"XmlFreeText", "DOM text", -1, "text"},
    {"CoInitialize", "COM initialisation", +1, nullptr},
    {"CoUninitialize", "COM initialisation", -1, nullptr},
};

bool Null(const std::string& arg) { return arg == "null" || arg == "0"; }

}  // namespace

void FaultPlatform::Account(const Call& call, bool succeeded) {
  if (call.nested) return;
  std::lock_guard<std::mutex> hold(lock_);
  const std::string& name = call.name;
  // The enumerations free the context they are given and hand out the next.
  if (name == "CertEnumCertificatesInStore" || name == "CertFindCertificateInStore") {
    if (!Null(call.args.back())) --live_["certificate"];
    if (succeeded) ++live_["certificate"];
    return;
  }
  if (name == "CertAddCertificateContextToStore" || name == "CertAddEncodedCertificateToStore") {
    if (succeeded && !Null(call.args.back())) ++live_["certificate"];
    return;
  }
  // Deleting a container hands out no provider handle.
  if (name == "CryptAcquireContextW") {
    const std::string& flags = call.args.back();
    const uint64_t f = std::stoull(flags);
    if ((f & CRYPT_DELETEKEYSET) != 0 || f == 0xFFFF0002u) return;
  }
  for (const Counted& c : kCounted) {
    if (name != c.entry) continue;
    if (c.delta > 0) {
      if (succeeded) ++live_[c.kind];
    } else if (c.handleArg == nullptr || !Null(call.Arg(c.handleArg))) {
      --live_[c.kind];
    }
  }
}

void FaultPlatform::FreeWhatAFailedCallFrees(const Call& call) {
  // The enumerations free the context they are given, and deleting a
  // certificate frees its context, also when they fail.
  std::string context;
  if (call.name == "CertEnumCertificatesInStore" || call.name == "CertFindCertificateInStore")
    context = call.args.back();
  else if (call.name == "CertDeleteCertificateFromStore")
    context = call.args.front();
  if (context.empty() || Null(context)) return;
  table.CertFreeCertificateContext(
      reinterpret_cast<PCCERT_CONTEXT>(static_cast<uintptr_t>(std::stoull(context, nullptr, 16))));
}

std::string FaultPlatform::Unbalanced() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::string out;
  for (const auto& [kind, n] : live_)
    if (n != 0) out += (out.empty() ? "" : ", ") + kind + (n > 0 ? " +" : " ") + std::to_string(n);
  return out;
}

void FaultPlatform::FailNthCall(int n, DWORD error) {
  std::lock_guard<std::mutex> hold(lock_);
  failNth_ = n;
  failNthError_ = error;
  sinceArmed_ = 0;
  failed_.clear();
}

std::string FaultPlatform::FailedCall() const {
  std::lock_guard<std::mutex> hold(lock_);
  return failed_;
}

bool FaultPlatform::Enter(Call call, DWORD* error) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!call.nested && !Unfailable(call.name) && ++sinceArmed_ == failNth_) {
    failed_ = call.name;
    *error = failNthError_;
    calls_.push_back(std::move(call));
    return true;
  }
  auto it = plans_.find(call.name);
  calls_.push_back(std::move(call));
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
