#include "support/FaultPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <type_traits>

#include "encoding/Unicode.h"

namespace {

FaultPlatform* g_active = nullptr;

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
    if (self->Enter(std::move(call), &error))
      return PlatformFailedResult<K, R>(error, self->table.SetLastError);
    return (self->table.*entry)(a...);
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

bool FaultPlatform::Enter(Call call, DWORD* error) {
  std::lock_guard<std::mutex> hold(lock_);
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
