// The agent's messages: a call {"id": N, "method": NAME, "params": [...]}
// and its answer {"id": N, "hr": "0x%08x", "result": VALUE[, "description"]}.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/ComTypes.h"

// HRESULT_FROM_WIN32(ERROR_BAD_LENGTH): the answer to a message over the
// size limit.
inline constexpr HRESULT kMessageTooLong = static_cast<HRESULT>(0x80070018);

// The largest message the agent reads; longer ones are read in parts and
// discarded.
inline constexpr size_t kMaxMessageBytes = 1u << 20;

// One parameter as page script passes it.
struct CallParam {
  enum Kind { kString, kInteger, kNumber, kBoolean, kNull, kObject } kind = kNull;
  std::string text;    // kString (UTF-8)
  int32_t integer = 0; // kInteger: a whole number that fits 32 bits
  double number = 0;   // kNumber: any other number
  bool boolean = false;
};

struct Call {
  std::optional<int64_t> id;
  std::string method;
  std::vector<CallParam> params;
};

// Reads one message's text into `call`. Returns S_OK, or E_INVALIDARG when
// the text is not JSON, not an object, or its id is not a whole number, its
// method not a string or its params not an array (a missing params is an
// empty list). On failure `call->id` still holds the id when one could be
// read.
HRESULT ParseCall(std::string_view text, Call* call);

// The answer's text. `result` is already JSON ("null", "true", a string
// literal); `description` is added when given. Never fails: text that is not
// UTF-8 is written with U+FFFD in its place.
std::string FormatAnswer(const std::optional<int64_t>& id, HRESULT hr, const std::string& result,
                         const std::optional<std::string>& description);

// A JSON string literal of the UTF-8 `text`.
std::string JsonText(std::string_view text);

// HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_QUOTA): the answer to a key-creating
// call beyond the connection's limit per minute.
inline constexpr HRESULT kKeyQuotaExceeded = static_cast<HRESULT>(0x80070718);

// Why the agent answers a message itself.
enum class AgentFault {
  kMalformed, kBinary, kTooLong, kUnknownName, kParamCount, kTypeMismatch, kOverflow, kKeyQuota
};

// The fault's status (E_INVALIDARG, ERROR_BAD_LENGTH, DISP_E_...).
HRESULT FaultStatus(AgentFault fault);

// The agent's own text for `fault`, in Simplified Chinese when `chinese`,
// else in English, with the status appended as the control appends its
// own: "TEXT\n(0x%08x)".
std::string FaultText(AgentFault fault, bool chinese);

// The fault that a dispatch-level status of IDispatch stands for
// (DISP_E_UNKNOWNNAME, DISP_E_BADPARAMCOUNT, DISP_E_TYPEMISMATCH,
// DISP_E_OVERFLOW); nullopt for any other status.
std::optional<AgentFault> FaultOfDispatchStatus(HRESULT hr);
