// `keyloom agent` as a child process and a small Beast client, for tests
// over the wire.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

namespace agent_test {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using nlohmann::json;

// The agent on a free port for the scope, started with `options`; the
// environment (homes, trace) is the test's. Stop() sends SIGTERM and
// returns the exit code (the destructor stops it when still running).
struct AgentProcess {
  explicit AgentProcess(const std::string& options = "") {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      execl("/bin/sh", "sh", "-c", ("exec " KEYLOOM_CLI_PATH " agent --port 0 " + options).c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    out = fdopen(fds[0], "r");
    char line[256] = {};
    if (out && std::fgets(line, sizeof line, out)) std::sscanf(line, "keyloom agent listening on ws://127.0.0.1:%u/", &port);
  }
  ~AgentProcess() {
    if (pid > 0) Stop();
    if (out) std::fclose(out);
  }
  int Stop() {
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // The process's resident set in KiB (VmRSS), 0 when unreadable.
  long RssKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    long kib = 0;
    while (status >> word)
      if (word == "VmRSS:" && status >> kib) break;
    return kib;
  }
  pid_t pid = -1;
  unsigned port = 0;
  FILE* out = nullptr;
};

// A TCP connection to the agent whose reads give up after 30 s, so that a
// silent agent fails the test instead of stalling it.
inline void Connect(net::io_context& io, tcp::socket& socket, unsigned port) {
  socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
  const timeval limit{30, 0};
  setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  (void)io;
}

// One page's connection. `origin` null: no Origin header; `host` empty:
// 127.0.0.1:PORT. Open() answers the handshake's HTTP status (101 when
// upgraded) and keeps the response.
struct Page {
  net::io_context io;
  websocket::stream<tcp::socket> ws{io};
  websocket::response_type response;

  int Open(unsigned port, const char* origin = "http://127.0.0.1:8080", std::string host = "",
           const std::string& language = "") {
    Connect(io, ws.next_layer(), port);
    if (host.empty()) host = "127.0.0.1:" + std::to_string(port);
    ws.set_option(websocket::stream_base::decorator([=](websocket::request_type& r) {
      if (origin) r.set(http::field::origin, origin);
      if (!language.empty()) r.set(http::field::accept_language, language);
    }));
    ws.read_message_max(4u << 20);
    // The asynchronous handshake keeps the response of a refusal too.
    bool done = false;
    ws.async_handshake(response, host, "/", [&](beast::error_code) { done = true; });
    io.run_for(std::chrono::seconds(30));
    io.restart();
    return done ? static_cast<int>(response.result_int()) : 0;
  }
  // Sends one text frame and reads the answer.
  json Call(const std::string& message) {
    ws.text(true);
    ws.write(net::buffer(message));
    return Read();
  }
  json Call(int id, const std::string& method, const json& params = json::array()) {
    return Call(json{{"id", id}, {"method", method}, {"params", params}}.dump());
  }
  json Read() {
    beast::flat_buffer buffer;
    beast::error_code ec;
    ws.read(buffer, ec);
    if (ec) return json{{"error", ec.message()}};
    return json::parse(beast::buffers_to_string(buffer.data()), nullptr, false);
  }
};

// One plain HTTP request (a preflight or a fetch) and the agent's answer.
inline http::response<http::string_body> Fetch(unsigned port, http::verb verb, const char* origin,
                                               std::string host, bool privateNetwork) {
  net::io_context io;
  tcp::socket socket(io);
  Connect(io, socket, port);
  http::request<http::empty_body> request(verb, "/", 11);
  request.set(http::field::host, host.empty() ? "127.0.0.1:" + std::to_string(port) : host);
  if (origin) request.set(http::field::origin, origin);
  if (privateNetwork) request.set("Access-Control-Request-Private-Network", "true");
  request.keep_alive(false);
  http::response<http::string_body> response;
  beast::flat_buffer buffer;
  beast::error_code ec;
  http::write(socket, request, ec);
  if (!ec) http::read(socket, buffer, response, ec);
  return response;
}

inline std::string Hr(const json& answer) { return answer.value("hr", std::string("none")); }

}  // namespace agent_test
