// `keyloom agent` as a child process and a small Beast client.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

// The agent on a free port (0: it did not start), standard error in `errPath`
// when given; Stop() sends SIGTERM and answers the exit code.
struct AgentProcess {
  explicit AgentProcess(const std::string& options = "", const std::string& errPath = "") {
    int fds[2];
    if (pipe(fds) != 0) return;
    if ((pid = fork()) == 0) {
      dup2(fds[1], STDOUT_FILENO);
      const std::string command = "exec " KEYLOOM_CLI_PATH " agent --port 0 " + options +
                                  (errPath.empty() ? "" : " 2>" + errPath);
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    out = fdopen(fds[0], "r");
    if (out) std::fscanf(out, "keyloom agent listening on ws://127.0.0.1:%u/", &port);
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
  // A number of /proc/PID/status ("VmRSS:" in KiB, "Threads:"), 0 unread.
  long Status(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    long value = 0;
    while (status >> word)
      if (word == field && status >> value) break;
    return value;
  }
  pid_t pid = -1;
  unsigned port = 0;
  FILE* out = nullptr;
};

// One page's connection: Open() answers the handshake's HTTP status (0: none
// came). `origin` null: no Origin header; `host` empty: 127.0.0.1:PORT.
struct Page {
  net::io_context io;
  websocket::stream<tcp::socket> ws{io};
  websocket::response_type response;
  int receiveBuffer = 0;  // SO_RCVBUF before connecting, 0: the system's

  int Open(unsigned port, const char* origin = "https://127.0.0.1:8080", std::string host = "",
           const std::string& language = "") {
    ws.next_layer().open(tcp::v4());
    if (receiveBuffer) ws.next_layer().set_option(net::socket_base::receive_buffer_size(receiveBuffer));
    ws.next_layer().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    ws.set_option(websocket::stream_base::decorator([=](websocket::request_type& r) {
      if (origin) r.set(http::field::origin, origin);
      if (!language.empty()) r.set(http::field::accept_language, language);
    }));
    ws.read_message_max(4u << 20);
    // The asynchronous handshake keeps the response of a refusal too.
    bool done = false;
    ws.async_handshake(response, host.empty() ? "127.0.0.1:" + std::to_string(port) : host, "/",
                       [&](beast::error_code) { done = true; });
    io.run_for(std::chrono::seconds(30));
    io.restart();
    return done ? static_cast<int>(response.result_int()) : 0;
  }
  // Sends one text frame and reads the answer ({"error": ...} when none).
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

// One text frame as a page sends it, masked with the key 0 (the payload as it is).
inline std::string ClientFrame(const std::string& payload) {
  std::string frame = "\x81";
  if (payload.size() < 126) {
    frame += static_cast<char>(0x80 | payload.size());
  } else {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>(payload.size() >> 8);
    frame += static_cast<char>(payload.size() & 0xFF);
  }
  return frame + std::string(4, '\0') + payload;
}

inline std::string Hr(const json& answer) { return answer.value("hr", std::string("none")); }

}  // namespace agent_test
