// `testca serve` on the wire: what a client that does not play by the
// rules meets (two Host headers, a full site, a connection left idle).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "testca/TestCa.h"

namespace {

class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/keyloom-serve-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    dir_ = dir;
    std::string error;
    ASSERT_TRUE(testca::Init(dir_, &error)) << error;
    int out[2];
    ASSERT_EQ(0, pipe(out));
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      execl(TESTCA_PATH, "testca", "serve", "--dir", dir_.c_str(), "--port", "0", "--max-connections", "2",
            "--idle-timeout", "1", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    FILE* ready = fdopen(out[0], "r");
    char line[200] = "";
    ASSERT_NE(nullptr, fgets(line, sizeof line, ready));
    fclose(ready);
    ASSERT_EQ(1, std::sscanf(line, "testca serve: ready on http://127.0.0.1:%d/", &port_)) << line;
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    EXPECT_EQ(0, std::system(("rm -rf " + dir_).c_str()));
  }
  int Connect() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
    return fd;
  }
  // Sends `request` (if any) and reads until the server closes or `ms` pass;
  // "(open)" is appended when the connection is still open then.
  static std::string Exchange(int fd, const std::string& request, int ms) {
    if (!request.empty()) {
      EXPECT_EQ(static_cast<ssize_t>(request.size()), send(fd, request.data(), request.size(), 0));
    }
    std::string got;
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, ms) != 1) return got + "(open)";
      char buffer[4096];
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return got;
      got.append(buffer, static_cast<size_t>(n));
    }
  }
  std::string dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

TEST_F(ServeTest, HostHeadersFullSiteAndIdleConnections) {
  const struct {
    const char* request;
    const char* statusLine;
  } rows[] = {
      {"GET /style.css HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /style.css HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: evil.example\r\nConnection: close\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"GET /style.css HTTP/1.0\r\n\r\n", "HTTP/1.0 400 Bad Request"},
  };
  for (const auto& row : rows) {
    const int fd = Connect();
    const std::string answer = Exchange(fd, row.request, 3000);
    EXPECT_EQ(row.statusLine, answer.substr(0, answer.find("\r\n"))) << row.request;
    close(fd);
  }
  // Two idle connections fill the site: the third is told so, not dropped.
  const int idle[] = {Connect(), Connect()};
  usleep(100 * 1000);
  const int third = Connect();
  const std::string busy = Exchange(third, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 3000);
  EXPECT_EQ("HTTP/1.1 503 Service Unavailable", busy.substr(0, busy.find("\r\n")));
  close(third);
  // The idle ones are closed after the idle timeout (1 s here).
  for (int fd : idle) {
    EXPECT_EQ("", Exchange(fd, "", 3000));
    close(fd);
  }
}

}  // namespace
