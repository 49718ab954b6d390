#include "trace/Trace.h"

#include <cstring>

TRACE_COMPONENT("TraceHelper");

TraceProviderState* volatile g_traceProvider = nullptr;

// {6B1D3C2E-4F0A-4C8B-9E55-2A7D1F3B8C41}
const GUID kTraceControlGuid = {
    0x6b1d3c2e, 0x4f0a, 0x4c8b, {0x9e, 0x55, 0x2a, 0x7d, 0x1f, 0x3b, 0x8c, 0x41}};

namespace {

TraceProviderState g_state;

constexpr char16_t kNullWide[] = u"NULL";
constexpr char16_t kEmptyWide[] = u"<NULL>";
constexpr char kNullAnsi[] = "NULL";

uint32_t WideBytes(const char16_t* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return static_cast<uint32_t>((n + 1) * sizeof(char16_t));
}

}  // namespace

TraceValue::TraceValue(const char16_t* text) {
  if (text == nullptr) text = kNullWide;
  else if (*text == 0) text = kEmptyWide;
  arg = {text, WideBytes(text), kTraceWide};
}

TraceValue::TraceValue(const char* text) {
  if (text == nullptr) text = kNullAnsi;
  arg = {text, static_cast<uint32_t>(std::strlen(text) + 1), kTraceAnsi};
}

void TraceInitialize() {
  if (g_traceProvider != nullptr) return;
  g_state = TraceProviderState{};
  Plat().TraceRegister(&kTraceControlGuid, &g_state);
  g_traceProvider = &g_state;
}

void TraceShutdown() {
  if (g_traceProvider == nullptr) return;
  g_traceProvider = nullptr;
  Plat().TraceUnregister(&g_state);
  g_state = TraceProviderState{};
}

void TraceWrite(const TraceComponent& component, uint16_t messageNumber, uint32_t flag,
                std::initializer_list<TraceValue> args) {
  const TraceProviderState* state = g_traceProvider;
  if (state == nullptr || (state->enableFlags & flag) == 0) return;
  const Platform& p = Plat();
  const DWORD lastError = p.GetLastError();
  TraceArg buffer[16];
  uint32_t count = 0;
  for (const TraceValue& v : args) {
    if (count == 16) break;
    buffer[count++] = v.arg;
  }
  TraceRecord record{&component.guid, component.name, messageNumber, flag, count, buffer};
  p.TraceWrite(state, &record);
  p.SetLastError(lastError);
}

TraceHelper::TraceHelper(const char* name) : m_name(name) {
  if (TraceEnabled(TRACE_FLAG_FUNCTION))
    TraceWrite(kTraceComponent, 10, TRACE_FLAG_FUNCTION, {TraceValue(m_name)});
}

TraceHelper::~TraceHelper() {
  if (TraceEnabled(TRACE_FLAG_FUNCTION))
    TraceWrite(kTraceComponent, 11, TRACE_FLAG_FUNCTION, {TraceValue(m_name)});
}

void TraceStep(const char16_t* text, HRESULT status) {
  if (status < 0) {
    if (TraceEnabled(TRACE_FLAG_STEP_ERROR))
      TraceWrite(kTraceComponent, 13, TRACE_FLAG_STEP_ERROR, {text, status});
  } else if (TraceEnabled(TRACE_FLAG_INFO)) {
    TraceWrite(kTraceComponent, 14, TRACE_FLAG_INFO, {text, status});
  }
}

void TraceStep(const char16_t* function, const char16_t* step, HRESULT status) {
  const uint32_t flag = status < 0 ? TRACE_FLAG_STEP_ERROR : TRACE_FLAG_INFO;
  if (!TraceEnabled(flag)) return;  // the text is formed only for a record
  char16_t text[512];
  size_t n = 0;
  auto append = [&](const char16_t* s) {
    if (s == nullptr) s = u"NULL";
    for (; *s && n + 1 < 512; ++s) text[n++] = *s;
  };
  append(function);
  append(u" - ");
  append(step);
  text[n] = 0;
  TraceStep(text, status);
}
