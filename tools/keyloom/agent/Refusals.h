// The record of refused connections: through the tool's trace facility
// (failure records, component "Agent") and, for refused handshakes, one
// line on standard error, so that an administrator sees why a page was
// refused without enabling traces. A flood of refusals must not flood
// either: texts are cut and records are limited per second.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

// Records written per second; the rest of that second is counted.
inline constexpr unsigned kRefusalsPerSecond = 10;
// The longest Origin or Host text a record keeps.
inline constexpr size_t kRefusalTextLimit = 256;

struct RefusalLog {
  std::chrono::steady_clock::time_point windowStart{};
  unsigned written = 0;     // records of the current second
  unsigned suppressed = 0;  // refusals of the current second not written
};

// `text` cut to kRefusalTextLimit bytes, each byte outside printable ASCII
// replaced by '?', so that neither a trace line nor a terminal takes a
// page's bytes as its own.
std::string RefusalText(std::string_view text);

// Records one refusal at `now`: the reason, origin and host in a trace
// record and, when `handshake`, "keyloom agent: refused ORIGIN: REASON" on
// standard error. Beyond kRefusalsPerSecond in one second the refusal is
// only counted. Returns false when it was counted, not written.
bool RecordRefusal(RefusalLog& log, std::chrono::steady_clock::time_point now, const char* reason,
                   std::string_view origin, std::string_view host, bool handshake);

// Writes one record with the number of refusals counted and not written
// (nothing when there are none) and starts the count again.
void FlushRefusals(RefusalLog& log);
