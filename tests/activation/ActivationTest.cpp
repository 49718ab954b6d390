// The agent started as systemd's socket starts it: it takes the passed
// socket, registers the user on its first start, stays while a page is
// connected, exits when idle, and the next agent serves what waited.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "agent/AgentHarness.h"
#include "support/TestSupport.h"

namespace {

using namespace agent_test;

// The service manager's side: one listening socket held for the test, and
// agents started on it with LISTEN_FDS=1 and their own LISTEN_PID.
struct ActivationTest : ::testing::Test {
  pid_t Start(const char* listenFds = "1") {
    const pid_t pid = fork();
    if (pid == 0) {
      if (listener_.native_handle() == 3) fcntl(3, F_SETFD, 0);
      else dup2(listener_.native_handle(), 3);  // without close-on-exec
      setenv("LISTEN_FDS", listenFds, 1);
      setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
      execl(KEYLOOM_CLI_PATH, "keyloom", "agent", "--idle-timeout", "2", static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }
  // The agent's exit code once it ended within `seconds`, else -1.
  static int ExitWithin(pid_t pid, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // ExitWithin after SIGTERM; killed when it did not end.
  static int StopWithin(pid_t pid, double seconds) {
    kill(pid, SIGTERM);
    const int code = ExitWithin(pid, seconds);
    if (code == -1) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    return code;
  }

  ScopedSoftHomes homes_;  // a user never registered before
  net::io_context io_;
  tcp::acceptor listener_{io_, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)};
  unsigned port_ = listener_.local_endpoint().port();
};

TEST_F(ActivationTest, ServesThePassedSocketStaysWhileConnectedAndExitsWhenIdle) {
  // The page's connection waits in the socket until the agent takes it.
  const pid_t agent = Start();
  Page page;
  // Admitted: the first start added the trusted sites (http://127.0.0.1).
  ASSERT_EQ(page.Open(port_), 101);
  for (int i = 0; i < 6; ++i) {  // 3 s of calls, beyond the idle time
    EXPECT_EQ(Hr(page.Call(i, "ZENQ_GetCSPInfo")), "0x00000000");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_EQ(ExitWithin(agent, 0), -1) << "the agent ended while a page was connected";
  page.ws.close(websocket::close_code::normal);
  const int code = ExitWithin(agent, 5);
  if (code == -1) StopWithin(agent, 1);
  EXPECT_EQ(code, 0);

  // The next connection waits in the socket and a fresh agent serves it;
  // the user's registration is not made again (its class key stays).
  Page next;
  const pid_t fresh = Start();
  EXPECT_EQ(next.Open(port_), 101);
  EXPECT_EQ(Hr(next.Call(1, "ZENQ_GetCSPInfo")), "0x00000000");
  next.ws.close(websocket::close_code::normal);
  EXPECT_EQ(StopWithin(fresh, 1), 0) << "SIGTERM ends it at once, not at the end of the idle wait";
}

TEST_F(ActivationTest, RefusesAPassedDescriptorThatIsNotAListeningSocket) {
  // fd 4 is not passed: LISTEN_FDS=2 names it, and it is no socket.
  EXPECT_EQ(ExitWithin(Start("2"), 10), 1);
}

}  // namespace
