// The trace file: only a regular file of the user that no one else can
// write takes the lines; anything else (a FIFO that would block the load, a
// file another user prepared) turns tracing off with one line on stderr.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "base/Platform.h"
#include "support/ChildProcess.h"

namespace {

TEST(SoftTraceFile, OnlyTheUsersOwnPrivateFileTakesTheLines) {
  const struct { const char* what; std::function<void(const std::string& f)> prepare; bool traced; } kRows[] = {
      {"new file", [](auto&) {}, true},
      {"own 0600 file", [](auto& f) { MakeFile(f, 0600); }, true},
      {"FIFO", [](auto& f) { mkfifo(f.c_str(), 0600); }, false},
      {"0666 file", [](auto& f) { MakeFile(f, 0666); }, false},
      {"0620 file", [](auto& f) { MakeFile(f, 0620); }, false},
      {"file of another user", [](auto& f) { MakeFile(f, 0600, 54321); }, false},
      {"link", [](auto& f) { if (symlink("/dev/null", f.c_str()) != 0) ADD_FAILURE(); }, false},
  };
  for (const auto& row : kRows) {
    ScopedSoftHomes homes;
    const std::string file = homes.root() + "/trace", err = homes.root() + "/stderr";
    row.prepare(file);
    ScopedEnv mask("KEYLOOM_TRACE", "f"), path("KEYLOOM_TRACE_FILE", file.c_str());
    const int code = WaitExit(Spawn([&err] {
      alarm(5);  // a blocked open ends the child with SIGALRM
      dup2(open(err.c_str(), O_CREAT | O_WRONLY, 0600), STDERR_FILENO);
      TraceProviderState state{};
      const GUID guid{};
      Plat().TraceRegister(&guid, &state);
      return state.consumerHandle != 0 ? 1 : 0;
    }));
    EXPECT_EQ(row.traced ? 1 : 0, code) << row.what;
    EXPECT_EQ(row.traced, ReadFile(err).empty()) << row.what;
  }
}

}  // namespace
