// keyloom-agent.exe: the agent of one user session, started at logon from
// the Run key (a Windows-subsystem program, so no console opens). Its
// output goes to %LOCALAPPDATA%\Keyloom\agent.log; traces go to the trace
// facility as the module's do.
//
//   keyloom-agent.exe [agent options]   serve (a second start in the same
//                                        session exits 0 at once)
//   keyloom-agent.exe --stop             ask the running agents of this
//                                        install to exit (uninstall)
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "encoding/Unicode.h"
#include "keyloom/agent/Server.h"
#include "keyloom/agent/StopRequest.h"
#include "trace/Trace.h"

namespace {

constexpr wchar_t kSessionMutex[] = L"Local\\Keyloom.Agent";
constexpr ULONGLONG kLogLimit = 1u << 20;  // then the log starts again, the old one kept beside it
constexpr DWORD kStopWait = 10000;

// Sends standard output and error to %LOCALAPPDATA%\Keyloom\agent.log
// (appended); false when the folder cannot be made.
bool OpenLog() {
  PWSTR base = nullptr;
  if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &base))) return false;
  const std::wstring dir = std::wstring(base) + L"\\Keyloom";
  CoTaskMemFree(base);
  if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  const std::wstring path = dir + L"\\agent.log";
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
      ((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) > kLogLimit)
    MoveFileExW(path.c_str(), (dir + L"\\agent.old.log").c_str(), MOVEFILE_REPLACE_EXISTING);
  if (!_wfreopen(path.c_str(), L"a", stdout) || !_wfreopen(path.c_str(), L"a", stderr)) return false;
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
  return true;
}

std::vector<std::string> Arguments() {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; argv != nullptr && i < count; ++i) args.push_back(Utf16ToUtf8(U16(argv[i])));
  LocalFree(argv);
  return args;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::vector<std::string> args = Arguments();
  if (args.size() == 1 && args[0] == "--stop") return StopAgentsOfThisInstall(kStopWait) == 0 ? 0 : 1;

  HANDLE mutex = CreateMutexW(nullptr, FALSE, kSessionMutex);
  if (mutex == nullptr) return 1;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return 0;  // this session has its agent
  }
  OpenLog();
  const std::time_t now = std::time(nullptr);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  std::fprintf(stderr, "keyloom agent: started %s, process %lu\n", stamp, GetCurrentProcessId());

  AgentOptions options;
  int code = 2;
  if (!ParseAgentOptions(args, &options)) {
    std::fprintf(stderr, "keyloom agent: usage: keyloom-agent.exe [--port N] [--idle-timeout SECONDS] "
                         "[--max-per-origin N] [--max-connections N] [--max-keys-per-minute N] "
                         "[--allow-origin ORIGIN]... | --stop\n");
  } else {
    // The admission checks ask the zone manager from the server's thread.
    const bool comReady = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    TraceInitialize();
    code = RunAgent(options, AgentModule{});
    TraceShutdown();
    if (comReady) CoUninitialize();
  }
  std::fprintf(stderr, "keyloom agent: exit %d\n", code);
  CloseHandle(mutex);
  return code;
}
