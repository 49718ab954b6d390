#include "keyloom/agent/Refusals.h"

#include <cstdio>

#include "trace/Trace.h"

TRACE_COMPONENT("Agent");

std::string RefusalText(std::string_view text) {
  std::string out(text.substr(0, kRefusalTextLimit));
  for (char& c : out)
    if (c < 0x20 || c > 0x7E) c = '?';
  return out;
}

bool RecordRefusal(RefusalLog& log, std::chrono::steady_clock::time_point now, const char* reason,
                   std::string_view origin, std::string_view host, bool handshake) {
  if (now - log.windowStart >= std::chrono::seconds(1)) {
    FlushRefusals(log);
    log.windowStart = now;
    log.written = 0;
  }
  if (log.written >= kRefusalsPerSecond) {
    ++log.suppressed;
    return false;
  }
  ++log.written;
  const std::string o = RefusalText(origin), h = RefusalText(host);
  TRACE_FAILURE(TraceValue(reason), TraceValue(o.c_str()), TraceValue(h.c_str()));
  if (handshake) std::fprintf(stderr, "keyloom agent: refused %s: %s\n", o.empty() ? "(no origin)" : o.c_str(), reason);
  return true;
}

void FlushRefusals(RefusalLog& log) {
  if (log.suppressed == 0) return;
  const uint32_t count = log.suppressed;
  TRACE_FAILURE(TraceValue("refusals not recorded (more than 10 a second)"), TraceValue(count));
  std::fprintf(stderr, "keyloom agent: %u more refusals not shown (more than 10 a second)\n", count);
  log.suppressed = 0;
}
