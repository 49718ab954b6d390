// The trace facility: every operation reports entry, exit, checked steps and
// selected values as records of one trace provider.
//
// Records are written only while a consumer has enabled their flag; a
// disabled record costs one pointer test and one flag test. Writing a record
// never changes the thread's last-error value and never fails the caller.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "base/Platform.h"

#define TRACE_FLAG_FAILURE 0x1u
#define TRACE_FLAG_STEP_ERROR 0x2u
#define TRACE_FLAG_INFO 0x4u
#define TRACE_FLAG_FUNCTION 0x8u

// One source component: its message GUID and a name for text sinks.
struct TraceComponent {
  GUID guid;
  const char* name;
};

// A fixed GUID derived from the component's name (FNV-1a over the name in
// two lanes), so each source file has its own stable message GUID.
constexpr GUID TraceComponentGuid(const char* name) {
  uint64_t a = 0xcbf29ce484222325ull, b = 0x84222325cbf29ce4ull;
  for (const char* p = name; *p; ++p) {
    a = (a ^ static_cast<uint8_t>(*p)) * 0x100000001b3ull;
    b = (b ^ static_cast<uint8_t>(*p)) * 0x100000001b3ull + 0x9e37u;
  }
  GUID g{};
  g.Data1 = static_cast<uint32_t>(a >> 32);
  g.Data2 = static_cast<uint16_t>(a >> 16);
  g.Data3 = static_cast<uint16_t>((a & 0x0FFF) | 0x4000);  // version 4 layout
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(b >> (8 * i));
  g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80);
  return g;
}

// Declares this source file's component; use once per .cpp at file scope.
#define TRACE_COMPONENT(name) \
  [[maybe_unused]] static const TraceComponent kTraceComponent = {TraceComponentGuid(name), name}

// Provider state; null while the module is not initialized.
extern TraceProviderState* volatile g_traceProvider;

inline bool TraceEnabled(uint32_t flag) {
  const TraceProviderState* s = g_traceProvider;
  return s != nullptr && (s->enableFlags & flag) != 0;
}

// The module's control GUID under which the provider registers.
extern const GUID kTraceControlGuid;

// Load and unload of the module: register the provider (reading a
// consumer's or the settings' enable mask) and return to not-initialized.
void TraceInitialize();
void TraceShutdown();

// An argument of a record. Wide strings: null is written as "NULL", empty as
// "<NULL>"; 8-bit strings: null as "NULL". The record refers to the caller's
// values, which live until the record is written.
struct TraceValue {
  TraceArg arg;
  TraceValue(const char16_t* text);
  TraceValue(const char* text);
  TraceValue(const uint32_t& number) : arg{&number, 4, kTraceNumber} {}
  TraceValue(const int32_t& number) : arg{&number, 4, kTraceNumber} {}
#ifdef _WIN32
  // LONG, HRESULT and DWORD are 32-bit longs there.
  TraceValue(const long& number) : arg{&number, 4, kTraceNumber} {}
  TraceValue(const unsigned long& number) : arg{&number, 4, kTraceNumber} {}
#endif
};

// Writes one record if `flag` is enabled; saves and restores the thread's
// last-error value around the write.
void TraceWrite(const TraceComponent& component, uint16_t messageNumber, uint32_t flag,
                std::initializer_list<TraceValue> args);

// Function scope: entry record (message 10) on construction, exit record
// (message 11) on destruction, both TRACE_FLAG_FUNCTION. `name` is not owned.
class TraceHelper {
 public:
  explicit TraceHelper(const char* name);
  virtual ~TraceHelper();
  TraceHelper(const TraceHelper&) = delete;
  TraceHelper& operator=(const TraceHelper&) = delete;

 private:
  const char* m_name;
};

// Step record: an error record (message 13, TRACE_FLAG_STEP_ERROR) for a
// negative status, an information record (message 14, TRACE_FLAG_INFO)
// otherwise, carrying `text` and the status.
void TraceStep(const char16_t* text, HRESULT status);

// Forms "%ws - %ws" from the function's wide name and the step text into a
// 512-character buffer (cut to fit) and records it with TraceStep.
void TraceStep(const char16_t* function, const char16_t* step, HRESULT status);

// Records the step as TraceStep(function, step, status) does and returns
// `status`, for a step whose status is also the operation's result.
inline HRESULT TracedStatus(const char16_t* function, const char16_t* step, HRESULT status) {
  TraceStep(function, step, status);
  return status;
}

// Value records (TRACE_FLAG_INFO) and failure records with the source
// position (TRACE_FLAG_FAILURE). The message number is the source line, which
// is unique within the component.
#define TRACE_VALUE(...)                                                     \
  do {                                                                       \
    if (TraceEnabled(TRACE_FLAG_INFO))                                       \
      TraceWrite(kTraceComponent, __LINE__, TRACE_FLAG_INFO, {__VA_ARGS__}); \
  } while (0)

#define TRACE_FAILURE(...)                                                     \
  do {                                                                         \
    if (TraceEnabled(TRACE_FLAG_FAILURE)) {                                    \
      const uint32_t kl_line_ = __LINE__;                                      \
      TraceWrite(kTraceComponent, __LINE__, TRACE_FLAG_FAILURE,                \
                 {TraceValue(__FILE__), TraceValue(kl_line_), ##__VA_ARGS__}); \
    }                                                                          \
  } while (0)
