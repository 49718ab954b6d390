// `testca serve` on the wire (two Host headers, a full site, an idle
// connection, the https site as OpenSSL's client checks it), and the demo
// site's answers to what a browser or a stranger may send.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "testca/Site.h"
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
  }
  // Starts the site with `options` and returns its first lines of output,
  // up to the ready line, whose port it keeps.
  std::vector<std::string> Start(std::vector<const char*> options) {
    std::vector<const char*> args = {"testca", "serve", "--dir", dir_.c_str(), "--port", "0"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return {};
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      execv(TESTCA_PATH, const_cast<char* const*>(args.data()));
      _exit(127);
    }
    close(out[1]);
    FILE* ready = fdopen(out[0], "r");
    std::vector<std::string> lines;
    char line[200] = "";
    while (port_ == 0 && fgets(line, sizeof line, ready) != nullptr) {
      lines.emplace_back(line);
      std::sscanf(line, "testca serve: ready on %*[a-z]://127.0.0.1:%d/", &port_);
    }
    fclose(ready);
    EXPECT_NE(0, port_) << (lines.empty() ? "no output" : lines.back());
    return lines;
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
  Start({"--max-connections", "2", "--idle-timeout", "2"});
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
    std::string answer;
    // A 503 while an earlier row's connection thread ends is asked again.
    for (int attempt = 0; attempt < 20 && (answer.empty() || answer.starts_with("HTTP/1.1 503")); ++attempt) {
      if (attempt > 0) usleep(100 * 1000);
      const int fd = Connect();
      answer = Exchange(fd, row.request, 3000);
      close(fd);
    }
    EXPECT_EQ(row.statusLine, answer.substr(0, answer.find("\r\n"))) << row.request;
  }
  // Two idle connections fill the site: the third is told so, not dropped
  // (a connection told 503 while a row's thread ends is tried again).
  int idle[2];
  for (int& fd : idle) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      fd = Connect();
      if (Exchange(fd, "", 400) == "(open)") break;
      close(fd);
    }
  }
  const int third = Connect();
  const std::string busy = Exchange(third, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 3000);
  EXPECT_EQ("HTTP/1.1 503 Service Unavailable", busy.substr(0, busy.find("\r\n")));
  close(third);
  // The idle ones are closed after the idle timeout (2 s here).
  for (int fd : idle) {
    EXPECT_EQ("", Exchange(fd, "", 3000));
    close(fd);
  }
}

// The https site chains to the test root for 127.0.0.1, pins the key it
// prints, and serves the page.
TEST_F(ServeTest, TlsSiteChainsToTheTestRootForItsAddress) {
  const std::vector<std::string> lines = Start({"--tls"});
  ASSERT_EQ(2u, lines.size());
  const std::string pinLine = "testca serve: the site's key, SHA-256 of its SubjectPublicKeyInfo: ";
  ASSERT_EQ(pinLine, lines[0].substr(0, pinLine.size()));
  const std::string client = "printf 'GET / HTTP/1.1\\r\\nHost: 127.0.0.1\\r\\nConnection: close\\r\\n\\r\\n' | "
                             "openssl s_client -quiet -verify_return_error -verify_ip 127.0.0.1 -CAfile " +
                             dir_ + "/rsa-root.crt -connect 127.0.0.1:" + std::to_string(port_) + " 2>/dev/null";
  const std::string pin = "openssl s_client -connect 127.0.0.1:" + std::to_string(port_) +
                          " </dev/null 2>/dev/null | openssl x509 -pubkey -noout | "
                          "openssl pkey -pubin -outform DER | openssl dgst -sha256 -binary | base64";
  const struct {
    std::string command;
    std::string firstLine;
  } rows[] = {
      {client, "HTTP/1.1 200 OK\r"},
      {pin, lines[0].substr(pinLine.size(), lines[0].size() - pinLine.size() - 1)},
  };
  for (const auto& row : rows) {
    FILE* p = popen(row.command.c_str(), "r");
    ASSERT_NE(nullptr, p);
    char line[200] = "";
    const bool read = fgets(line, sizeof line, p) != nullptr;
    pclose(p);
    EXPECT_TRUE(read) << row.command;
    EXPECT_EQ(row.firstLine + "\n", line) << row.command;
  }
}

using testca::SiteRequest;

TEST(Site, LoopbackHosts) {
  const struct {
    const char* host;
    bool loopback;
  } rows[] = {
      {"127.255.3.4:1", true},           {"[::1]:17443", true},
      {"LocalHost:80", true},            {"localhost.evil.example", false},
      {"128.0.0.1", false},              {"127.0.0.1:80x", false},
      {"[::1", false},                   {"0x7f.0.0.1", false},
  };
  for (const auto& row : rows) EXPECT_EQ(row.loopback, testca::IsLoopbackHost(row.host)) << row.host;
}

TEST(Site, AnswersAndRefusals) {
  const testca::Site site{"/nonexistent-hierarchy", KEYLOOM_SOURCE_DIR "/web"};
  const std::string big(testca::kSiteBodyLimit + 1, ' ');
  const struct {
    SiteRequest request;  // method, target, host, content type, body
    int status;
    const char* inBody;  // a text the answer's body holds
  } rows[] = {
      {{"GET", "/?agent=17443", "127.0.0.1:8080", "", ""}, 200, "<!doctype html>"},
      {{"GET", "/", "evil.example:8080", "", ""}, 403, "loopback names only"},
      {{"GET", "/../CMakeLists.txt", "127.0.0.1", "", ""}, 404, "no such page"},
      // a form a foreign page may post without asking first
      {{"POST", "/api/issue", "127.0.0.1", "application/x-www-form-urlencoded", "request=MAA="}, 415, ""},
      {{"POST", "/api/issue", "127.0.0.1", "application/json", big}, 413, "too large"},
      // longer keys than the control makes would keep the site busy for minutes
      {{"POST", "/api/envelope", "127.0.0.1", "application/json", "{\"algorithm\":\"RSA\",\"bits\":8192,\"request\":\"MAA=\"}"}, 400, "4096"},
  };
  for (const auto& row : rows) {
    const testca::SiteResponse answer = testca::AnswerSite(site, row.request);
    SCOPED_TRACE(row.request.method + " " + row.request.target + " " + row.request.body.substr(0, 60));
    EXPECT_EQ(row.status, answer.status);
    EXPECT_NE(std::string::npos, answer.body.find(row.inBody)) << answer.body.substr(0, 200);
    bool noStore = false, policy = false;
    for (const auto& [name, value] : answer.headers) {
      noStore |= name == "Cache-Control" && value == "no-store";
      policy |= name == "Content-Security-Policy" && value.find("script-src 'self'") != std::string::npos &&
                value.find("connect-src 'self' ws://127.0.0.1:*;") != std::string::npos &&
                value.find("localhost") == std::string::npos;  // a name another user's program may answer
      EXPECT_NE(0u, name.rfind("Access-Control-", 0)) << "no CORS header: " << name;
    }
    EXPECT_TRUE(noStore);
    EXPECT_EQ(answer.contentType.rfind("text/html", 0) == 0, policy);
  }
}

}  // namespace
