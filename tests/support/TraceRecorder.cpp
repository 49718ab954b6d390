#include "support/TraceRecorder.h"

#include <cstdio>

#include "encoding/Unicode.h"
#include "trace/Trace.h"

namespace {

uint32_t g_mask = 0;

void RecordingRegister(const GUID*, TraceProviderState* state) {
  state->consumerHandle = 1;
  state->enableFlags = g_mask;
}

void RecordingUnregister(TraceProviderState* state) { *state = TraceProviderState{}; }

void RecordingWrite(const TraceProviderState*, const TraceRecord* r) {
  RecordedTrace rec{r->componentName, r->messageNumber, r->flag, {}, {}};
  for (uint32_t i = 0; i < r->argCount; ++i) {
    const TraceArg& a = r->args[i];
    rec.sizes.push_back(a.size);
    if (a.kind == kTraceWide) {
      rec.args.push_back(Utf16ToUtf8(static_cast<const char16_t*>(a.data)));
    } else if (a.kind == kTraceAnsi) {
      rec.args.push_back(static_cast<const char*>(a.data));
    } else {
      char n[16];
      std::snprintf(n, sizeof n, "0x%08x", *static_cast<const uint32_t*>(a.data));
      rec.args.push_back(n);
    }
  }
  ScopedTraceRecorder::records().push_back(rec);
  Plat().SetLastError(0xDEAD);
}

}  // namespace

std::vector<RecordedTrace>& ScopedTraceRecorder::records() {
  static std::vector<RecordedTrace> kept;
  return kept;
}

ScopedTraceRecorder::ScopedTraceRecorder(uint32_t mask) {
  records().clear();
  g_mask = mask;
  platform_.table.TraceRegister = &RecordingRegister;
  platform_.table.TraceUnregister = &RecordingUnregister;
  platform_.table.TraceWrite = &RecordingWrite;
  TraceShutdown();
  TraceInitialize();
}

ScopedTraceRecorder::~ScopedTraceRecorder() { TraceShutdown(); }
