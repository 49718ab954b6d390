// The one platform interface: every platform call the control makes.
//
// Each entry has the arguments, results and last-error behaviour of the
// Win32 call it is named after, except that text is char16_t (UTF-16) on
// both builds; the win32 table converts at its boundary. The core reaches the
// active table through Plat(); tests install a wrapping table with
// SetPlatform() to inject failures and record calls. The entries themselves
// are listed once, in base/PlatformEntries.inc.
//
// Entries that a build does not provide are never null: they fail with
// ERROR_CALL_NOT_IMPLEMENTED (120) in the way their Win32 call reports a
// failure (the last error, the code, or the code as an HRESULT).
#pragma once

#include <type_traits>

#include "base/WinTypes.h"

// The platform's error-object interfaces (base/ComTypes.h).
struct IErrorInfo;
struct ICreateErrorInfo;

// Opaque handles of the platform's XML DOM (a document or a node).
struct KlXmlNode;

// The identity of a loaded type library (the platform's TLIBATTR fields
// that registration uses).
struct KlTypeLibAttr {
  GUID guid;
  LCID lcid;
  DWORD sysKind;  // SYS_WIN64 (3) for our module
  WORD majorVersion;
  WORD minorVersion;
  WORD flags;
};

// One argument of a trace record: a pointer and a byte length. Wide strings
// count their terminator, numbers are 4 bytes.
struct TraceArg {
  const void* data;
  uint32_t size;
  uint8_t kind;  // TraceArgKind
};
enum TraceArgKind : uint8_t { kTraceWide = 1, kTraceAnsi = 2, kTraceNumber = 3 };

// One trace record as handed to the sink.
struct TraceRecord {
  const GUID* component;       // message GUID of the source component
  const char* componentName;   // for text sinks
  uint16_t messageNumber;      // unique within the component
  uint32_t flag;               // the TRACE_FLAG_* bit the record tested
  uint32_t argCount;
  const TraceArg* args;
};

// Provider state of the trace facility, owned by trace/ and filled by the
// platform's TraceRegister (enable mask from a consumer or settings).
struct TraceProviderState {
  uint64_t consumerHandle;  // 0 when no consumer is attached
  uint32_t enableFlags;
  uint8_t enableLevel;
};

// How an entry reports that it failed; each entry of the list names one.
enum class PlatformFailure { kZero, kHresult, kStatus, kInvalidHandle, kVoid, kLastError };

// The table: one pointer per entry of base/PlatformEntries.inc, which holds
// each entry's contract.
struct Platform {
#define KL_PLATFORM_ENTRY(ret, name, params, args, failure) ret(*name) params;
#include "base/PlatformEntries.inc"
};

// The result an entry of type R and failure kind K answers when it fails
// with Win32 error `error`; the kinds that carry the reason in the last
// error set it through `setLastError`. Shared by the unimplemented fillers
// and the test interceptor, so an entry's failure is classified once.
template <PlatformFailure K, typename R>
R PlatformFailedResult(DWORD error, void (*setLastError)(DWORD)) {
  if constexpr (K == PlatformFailure::kLastError) {
    if constexpr (!std::is_void_v<R>) return static_cast<R>(error);
  } else {
    static_assert(std::is_void_v<R> == (K == PlatformFailure::kVoid), "Void is for void entries");
    if constexpr (K == PlatformFailure::kHresult) {
      static_assert(std::is_same_v<R, HRESULT>);
      return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error);  // never success
    } else if constexpr (K == PlatformFailure::kStatus) {
      static_assert(std::is_same_v<R, LSTATUS>);
      return static_cast<R>(error);
    } else {
      setLastError(error);
      if constexpr (K == PlatformFailure::kInvalidHandle) return INVALID_HANDLE_VALUE;
      else if constexpr (!std::is_void_v<R>) return R{};
    }
  }
}

// The active table. Never null.
const Platform& Plat();

// Installs `table` as the active table and returns the one it replaces
// (the default table when none was installed). Pass nullptr to return to
// the default. The table must outlive its use; not thread-safe against
// concurrent calls, tests install it before they start the control.
const Platform* SetPlatform(const Platform* table);

// The build's own table (soft or win32).
const Platform& DefaultPlatform();

// Sets every entry of `table` to a function that fails with
// ERROR_CALL_NOT_IMPLEMENTED in the way its Win32 call reports failure
// (setting the last error through Plat()). Tables start from this, so no
// entry is ever null.
void FillUnimplemented(Platform& table);

// A table of nothing but those fillers.
const Platform& UnimplementedPlatform();

// The name of the first null entry of `table`, or nullptr when it has none.
const char* PlatformNullEntry(const Platform& table);
