#include "keyloom/agent/StopRequest.h"

#include <windows.h>
#include <tlhelp32.h>

#include <vector>

namespace {

// The full path of the image of `process`; empty when it cannot be read.
std::wstring ImageOf(HANDLE process) {
  wchar_t path[MAX_PATH * 2];
  DWORD size = MAX_PATH * 2;
  return QueryFullProcessImageNameW(process, 0, path, &size) ? std::wstring(path, size) : std::wstring();
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return !a.empty() && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                            static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::wstring StopEventName(unsigned long pid) { return L"Global\\Keyloom.Agent.Stop." + std::to_wstring(pid); }

int StopAgentsOfThisInstall(unsigned long waitMillis) {
  const std::wstring self = ImageOf(GetCurrentProcess());
  const std::wstring name = self.substr(self.find_last_of(L'\\') + 1);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  std::vector<HANDLE> asked;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId() || lstrcmpiW(entry.szExeFile, name.c_str()) != 0) continue;
    HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    if (!SamePath(ImageOf(process), self)) {
      CloseHandle(process);
      continue;
    }
    if (HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, StopEventName(entry.th32ProcessID).c_str())) {
      SetEvent(event);
      CloseHandle(event);
    }
    asked.push_back(process);
  }
  CloseHandle(snapshot);
  const ULONGLONG deadline = GetTickCount64() + waitMillis;
  int ended = 0;
  for (HANDLE process : asked) {
    const ULONGLONG now = GetTickCount64();
    if (WaitForSingleObject(process, now < deadline ? static_cast<DWORD>(deadline - now) : 0) != WAIT_OBJECT_0) {
      TerminateProcess(process, 1);
      ++ended;
    }
    CloseHandle(process);
  }
  return ended;
}
