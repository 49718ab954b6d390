// The event-trace provider of the module. Records go out with TraceMessage
// where advapi32 has it, else as plain trace events. With no consumer
// attached at registration, the global logger's registry settings may
// enable the provider.
#ifdef _WIN32


#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/win32/Win32Table.h"

#include <evntrace.h>
#include <wmistr.h>

namespace {

typedef ULONG(__cdecl* TraceMessageFn)(TRACEHANDLE, ULONG, LPCGUID, USHORT, ...);

TRACEHANDLE g_registration = 0;
TraceProviderState* g_state = nullptr;
TraceMessageFn g_traceMessage = nullptr;
// The one trace GUID registered with the control GUID.
GUID g_traceGuid = {0x6b1d3c2f, 0x4f0a, 0x4c8b, {0x9e, 0x55, 0x2a, 0x7d, 0x1f, 0x3b, 0x8c, 0x41}};

constexpr ULONG kMessageFlags = 43;  // sequence | GUID | time stamp | system information
constexpr size_t kMaxEventBytes = 8192;

ULONG WINAPI ControlCallback(WMIDPREQUESTCODE code, PVOID, ULONG*, PVOID buffer) {
  if (g_state == nullptr) return ERROR_SUCCESS;
  switch (code) {
    case WMI_ENABLE_EVENTS: {
      const TRACEHANDLE handle = GetTraceLoggerHandle(buffer);
      g_state->consumerHandle = handle;
      g_state->enableLevel = GetTraceEnableLevel(handle);
      g_state->enableFlags = GetTraceEnableFlags(handle);
      return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
      g_state->consumerHandle = 0;
      g_state->enableLevel = 0;
      g_state->enableFlags = 0;
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

DWORD ReadDword(HKEY key, const wchar_t* name) {
  DWORD value = 0, size = sizeof value, type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD)
    return 0;
  return value;
}

// HKLM\SYSTEM\CurrentControlSet\Control\Wmi\GlobalLogger: "Start", and in the
// subkey named by the control GUID "Flags" and "Level". Only Start = 1
// attaches to the running global logger.
void ReadGlobalLoggerSettings(const GUID* control, TraceProviderState* state) {
  HKEY logger = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger",
                    0, KEY_READ, &logger) != ERROR_SUCCESS)
    return;
  const DWORD start = ReadDword(logger, L"Start");
  if (start == 0) {
    RegCloseKey(logger);
    return;
  }
  wchar_t name[40];
  swprintf(name, 40, L"%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", control->Data1,
           control->Data2, control->Data3, control->Data4[0], control->Data4[1],
           control->Data4[2], control->Data4[3], control->Data4[4], control->Data4[5],
           control->Data4[6], control->Data4[7]);
  HKEY sub = nullptr;
  if (RegOpenKeyExW(logger, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) {
    RegCloseKey(logger);
    return;
  }
  const DWORD flags = ReadDword(sub, L"Flags");
  const DWORD level = ReadDword(sub, L"Level");
  RegCloseKey(sub);
  RegCloseKey(logger);
  if (start != 1) return;

  const size_t size = sizeof(EVENT_TRACE_PROPERTIES) + 2 * 1024 * sizeof(wchar_t);
  std::vector<BYTE> buffer(size);
  auto* props = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(buffer.data());
  props->Wnode.BufferSize = static_cast<ULONG>(size);
  props->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
  props->LogFileNameOffset = sizeof(EVENT_TRACE_PROPERTIES) + 1024 * sizeof(wchar_t);
  const ULONG status = ControlTraceW(0, L"GlobalLogger", props, EVENT_TRACE_CONTROL_QUERY);
  if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return;
  const TRACEHANDLE handle = props->Wnode.HistoricalContext;
  if (handle == 0) return;
  state->consumerHandle = handle;
  state->enableFlags = flags & 0x7FFFFFFFu;
  state->enableLevel = static_cast<uint8_t>(level);
}

void TraceRegisterImpl(const GUID* control, TraceProviderState* state) {
  g_state = state;
  if (HMODULE advapi = LoadLibraryW(L"advapi32.dll")) {
    if (GetProcAddress(advapi, "TraceMessageVa") != nullptr)
      g_traceMessage = reinterpret_cast<TraceMessageFn>(
          reinterpret_cast<void*>(GetProcAddress(advapi, "TraceMessage")));
    FreeLibrary(advapi);  // advapi32 stays loaded: the module imports it
  }
  TRACE_GUID_REGISTRATION registration = {&g_traceGuid, nullptr};
  if (RegisterTraceGuidsW(ControlCallback, nullptr, control, 1, &registration, nullptr, nullptr,
                          &g_registration) != ERROR_SUCCESS) {
    g_registration = 0;
  }
  if (state->consumerHandle == 0) ReadGlobalLoggerSettings(control, state);
}

void TraceUnregisterImpl(TraceProviderState* state) {
  if (g_registration) UnregisterTraceGuids(g_registration);
  g_registration = 0;
  g_state = nullptr;
  *state = TraceProviderState{};
}

void SendAsMessage(TRACEHANDLE h, const TraceRecord& r) {
  const GUID* g = r.component;
  const USHORT n = r.messageNumber;
  auto p = [&](uint32_t i) { return const_cast<void*>(r.args[i].data); };
  auto s = [&](uint32_t i) { return static_cast<size_t>(r.args[i].size); };
  void* end = nullptr;
  switch (r.argCount) {
    case 0: g_traceMessage(h, kMessageFlags, g, n, end); break;
    case 1: g_traceMessage(h, kMessageFlags, g, n, p(0), s(0), end); break;
    case 2: g_traceMessage(h, kMessageFlags, g, n, p(0), s(0), p(1), s(1), end); break;
    case 3: g_traceMessage(h, kMessageFlags, g, n, p(0), s(0), p(1), s(1), p(2), s(2), end); break;
    case 4:
      g_traceMessage(h, kMessageFlags, g, n, p(0), s(0), p(1), s(1), p(2), s(2), p(3), s(3), end);
      break;
    default:
      g_traceMessage(h, kMessageFlags, g, n, p(0), s(0), p(1), s(1), p(2), s(2), p(3), s(3),
                     p(4), s(4), end);
      break;
  }
}

// Plain trace event: up to seven arguments as separate fields; eight or
// more copied into one field; a record over 8192 bytes is dropped.
void SendAsEvent(TRACEHANDLE h, const TraceRecord& r) {
  struct {
    EVENT_TRACE_HEADER header;
    MOF_FIELD fields[8];
  } event{};
  event.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;
  event.header.Guid = *r.component;
  event.header.Class.Type = static_cast<UCHAR>(r.messageNumber);
  std::vector<BYTE> joined;
  ULONG count = 0;
  if (r.argCount <= 7) {
    size_t total = 0;
    for (uint32_t i = 0; i < r.argCount; ++i) {
      total += r.args[i].size;
      event.fields[count].DataPtr = reinterpret_cast<ULONG64>(r.args[i].data);
      event.fields[count].Length = r.args[i].size;
      ++count;
    }
    if (total > kMaxEventBytes) return;
  } else {
    size_t total = 0;
    for (uint32_t i = 0; i < r.argCount; ++i) {
      if (total + r.args[i].size < total) return;  // overflow
      total += r.args[i].size;
    }
    if (total > kMaxEventBytes) return;
    joined.resize(total);
    size_t at = 0;
    for (uint32_t i = 0; i < r.argCount; ++i) {
      std::memcpy(joined.data() + at, r.args[i].data, r.args[i].size);
      at += r.args[i].size;
    }
    event.fields[0].DataPtr = reinterpret_cast<ULONG64>(joined.data());
    event.fields[0].Length = static_cast<ULONG>(total);
    count = 1;
  }
  event.header.Size = static_cast<USHORT>(sizeof(EVENT_TRACE_HEADER) + count * sizeof(MOF_FIELD));
  TraceEvent(h, &event.header);
}

void TraceWriteImpl(const TraceProviderState* state, const TraceRecord* record) {
  if (state == nullptr || state->consumerHandle == 0) return;
  if (g_traceMessage != nullptr && record->argCount <= 5)
    SendAsMessage(state->consumerHandle, *record);
  else
    SendAsEvent(state->consumerHandle, *record);
}

}  // namespace

void Win32FillTrace(Platform& t) {
  t.TraceRegister = &TraceRegisterImpl;
  t.TraceUnregister = &TraceUnregisterImpl;
  t.TraceWrite = &TraceWriteImpl;
}

#endif  // _WIN32
