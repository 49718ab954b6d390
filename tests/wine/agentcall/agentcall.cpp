// agentcall.exe PORT ORIGIN METHOD [ARG...]: a page's one call through the
// agent at ws://127.0.0.1:PORT/ (Accept-Language: $AGENTCALL_LANGUAGE when
// set). Prints the answer's text, or "refused" and the reason; exit 0 when
// answered, 1 when refused or not connected, 2 on a usage error.
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: agentcall PORT ORIGIN METHOD [ARG...]\n");
    return 2;
  }
  const std::string port = argv[1], origin = argv[2];
  nlohmann::json call = {{"id", 1}, {"method", argv[3]}, {"params", nlohmann::json::array()}};
  for (int i = 4; i < argc; ++i) call["params"].push_back(argv[i]);
  boost::asio::io_context io;
  websocket::stream<tcp::socket> ws(io);
  beast::error_code ec;
  tcp::resolver resolver(io);
  boost::asio::connect(ws.next_layer(), resolver.resolve("127.0.0.1", port, ec), ec);
  if (ec) {
    std::printf("no connection: %s\n", ec.message().c_str());
    return 1;
  }
  ws.set_option(websocket::stream_base::decorator([&](websocket::request_type& request) {
    request.set(http::field::origin, origin);
    if (const char* language = std::getenv("AGENTCALL_LANGUAGE")) request.set(http::field::accept_language, language);
  }));
  websocket::response_type response;
  ws.handshake(response, "127.0.0.1:" + port, "/", ec);
  if (ec) {
    std::printf("refused: %s\n", ec.message().c_str());
    return 1;
  }
  ws.write(boost::asio::buffer(call.dump()), ec);
  beast::flat_buffer answer;
  if (!ec) ws.read(answer, ec);
  if (ec) {
    std::printf("no answer: %s\n", ec.message().c_str());
    return 1;
  }
  std::printf("%s\n", beast::buffers_to_string(answer.data()).c_str());
  ws.close(websocket::close_code::normal, ec);
  return 0;
}
