// `testca serve`: sockets and threads around AnswerSite. Each connection
// runs on its own thread with its own I/O context, so that the blocking
// request/answer loop still has a deadline on every read and write; with
// --tls the same loop runs inside a TLS stream.
#include "testca/Serve.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testca/Authority.h"
#include "testca/Site.h"
#include "testca/SiteTls.h"

namespace testca {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr size_t kHeaderLimit = 16 * 1024;

struct Limits {
  long maxConnections = 64;
  std::chrono::seconds idle{10};  // for a whole request, and for each answer's writing
};

std::atomic<int> liveConnections{0};

// Runs one asynchronous operation of `io` to its end and returns its result.
template <class Start>
beast::error_code RunOne(asio::io_context& io, Start start) {
  beast::error_code result;
  start([&result](beast::error_code ec, auto&&...) { result = ec; });
  io.restart();
  io.run();
  return result;
}

// The answer to a request Beast could not read: 413 for a body over the
// limit, 431 for headers over theirs, 400 for anything else malformed.
SiteResponse MalformedAnswer(const beast::error_code& ec) {
  SiteResponse r;
  r.status = ec == http::error::body_limit ? 413 : ec == http::error::header_limit ? 431 : 400;
  r.contentType = "application/json";
  r.body = r.status == 413   ? "{\"error\":\"the body is too large\"}"
           : r.status == 431 ? "{\"error\":\"the headers are too large\"}"
                             : "{\"error\":\"the request is not well-formed HTTP/1.1\"}";
  return r;
}

template <class Stream>
beast::error_code Send(asio::io_context& io, Stream& stream, SiteResponse answer,
                       unsigned version, bool keepAlive, bool head, std::chrono::seconds idle) {
  http::response<http::string_body> res{static_cast<http::status>(answer.status), version};
  res.set(http::field::server, "testca");
  res.set(http::field::content_type, answer.contentType);
  for (const auto& [name, value] : answer.headers) res.set(name, value);
  res.body() = std::move(answer.body);
  res.keep_alive(keepAlive);
  res.prepare_payload();
  if (head) res.body().clear();  // the length stays that of the body
  beast::get_lowest_layer(stream).expires_after(idle);
  http::serializer<false, http::string_body> out(res);
  if (head) out.split(true);
  return RunOne(io, [&](auto done) {
    if (head)
      http::async_write_header(stream, out, std::move(done));
    else
      http::async_write(stream, out, std::move(done));
  });
}

// Answers the requests of one connection until it closes, fails, times out
// or asks for no more.
template <class Stream>
void ServeRequests(asio::io_context& io, Stream& stream, const Site& site, Limits limits) {
  beast::flat_buffer buffer;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(kHeaderLimit);
    parser.body_limit(kSiteBodyLimit);
    beast::get_lowest_layer(stream).expires_after(limits.idle);
    const beast::error_code ec =
        RunOne(io, [&](auto done) { http::async_read(stream, buffer, parser, std::move(done)); });
    if (ec && ec.category() == http::make_error_code(http::error::bad_target).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message) {
      Send(io, stream, MalformedAnswer(ec), 11, false, false, limits.idle);
      return;
    }
    if (ec) return;  // closed, reset or timed out
    const auto& req = parser.get();
    SiteRequest request{std::string(req.method_string()), std::string(req.target()),
                        std::string(req[http::field::host]), std::string(req[http::field::content_type]),
                        req.body(), static_cast<int>(req.count(http::field::host))};
    const bool keepAlive = req.keep_alive();
    if (Send(io, stream, AnswerSite(site, request), req.version(), keepAlive,
             req.method() == http::verb::head, limits.idle) ||
        !keepAlive)
      return;
  }
}

void Connection(std::unique_ptr<asio::io_context> io, tcp::socket socket, const Site* site,
                Limits limits, asio::ssl::context* tls) {
  try {
    if (tls == nullptr) {
      beast::tcp_stream stream(std::move(socket));
      ServeRequests(*io, stream, *site, limits);
      beast::error_code ignored;
      stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    } else {
      beast::ssl_stream<beast::tcp_stream> stream(beast::tcp_stream(std::move(socket)), *tls);
      beast::get_lowest_layer(stream).expires_after(limits.idle);
      if (!RunOne(*io, [&](auto done) { stream.async_handshake(asio::ssl::stream_base::server, std::move(done)); })) {
        ServeRequests(*io, stream, *site, limits);
        beast::get_lowest_layer(stream).expires_after(limits.idle);
        RunOne(*io, [&](auto done) { stream.async_shutdown(std::move(done)); });
      }
    }
  } catch (...) {  // memory exhausted: only this connection ends
  }
  liveConnections--;
}

// The answer of a site that is full: what has arrived of the request is
// read first (waiting briefly), so that closing does not reset the
// connection before the client reads the 503.
void RefuseFull(tcp::socket& socket) {
  static const char kBusy[] =
      "HTTP/1.1 503 Service Unavailable\r\nServer: testca\r\nContent-Type: application/json\r\n"
      "Retry-After: 1\r\nConnection: close\r\nContent-Length: 37\r\n\r\n"
      "{\"error\":\"the site is busy; try again\"}";
  const int fd = socket.native_handle();
  pollfd wait{fd, POLLIN, 0};
  char scratch[4096];
  if (poll(&wait, 1, 200) == 1) (void)recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
  (void)send(fd, kBusy, sizeof kBusy - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  (void)shutdown(fd, SHUT_WR);
  if (poll(&wait, 1, 200) == 1) (void)recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
}

void AcceptLoop(tcp::acceptor* acceptor, const Site* site, Limits limits, asio::ssl::context* tls) {
  for (;;) {
    auto io = std::make_unique<asio::io_context>();
    beast::error_code ec;
    tcp::socket socket = acceptor->accept(*io, ec);
    if (ec) {  // out of descriptors, say: let some connections end first
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    if (liveConnections.fetch_add(1) >= limits.maxConnections) {
      liveConnections--;
      RefuseFull(socket);
      continue;  // the socket closes here
    }
    std::thread(Connection, std::move(io), std::move(socket), site, limits, tls).detach();
  }
}

int ServeUsage() {
  std::fputs("usage: testca serve --dir DIR --port P [--bind ADDR]... [--web DIR] [--tls]\n"
             "                    [--max-connections N] [--idle-timeout SECONDS]\n", stderr);
  return 2;
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "testca serve: %s\n", text.c_str());
  return 1;
}

}  // namespace

int ServeCommand(int argc, char** argv) {
  Site site{"", KEYLOOM_WEB_DIR};
  std::vector<std::string> binds;
  long port = -1;
  Limits limits;
  bool https = false;
  // A whole number from `low` to `high`; false otherwise.
  const auto number = [](const std::string& text, long low, long high, long* out) {
    char* end = nullptr;
    *out = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && *out >= low && *out <= high;
  };
  for (int i = 2; i < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--tls") {
      https = true;
      --i;  // a flag without a value
      continue;
    }
    if (i + 1 >= argc) return ServeUsage();
    const std::string value = argv[i + 1];
    if (name == "--dir") {
      site.dir = value;
    } else if (name == "--web") {
      site.web = value;
    } else if (name == "--bind") {
      binds.push_back(value);
    } else if (name == "--port") {
      if (!number(value, 0, 65535, &port)) return ServeUsage();
    } else if (name == "--max-connections") {
      if (!number(value, 1, 1024, &limits.maxConnections)) return ServeUsage();
    } else if (name == "--idle-timeout") {
      long seconds = 0;
      if (!number(value, 1, 3600, &seconds)) return ServeUsage();
      limits.idle = std::chrono::seconds(seconds);
    } else {
      return ServeUsage();
    }
  }
  if (site.dir.empty() || port < 0) return ServeUsage();
  if (binds.empty()) binds.push_back("127.0.0.1");

  std::string error;
  Authority issuer;
  for (Alg alg : {Alg::kRsa, Alg::kSm2})
    if (!LoadIssuer(site.dir, alg, &issuer, &error)) return Fail(error);
  Bytes page;
  if (!ReadWholeFile(site.web + "/demo/index.html", &page, &error)) return Fail(error + " (see --web)");

  for (const std::string& bind : binds) {
    beast::error_code ec;
    if (!asio::ip::make_address(bind, ec).is_loopback() || ec)
      return Fail("--bind takes a loopback address, not \"" + bind + "\"");
  }
  std::unique_ptr<asio::ssl::context> tls;
  if (https) {
    tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
    std::string pin;
    if (!LoadSiteTls(tls->native_handle(), site.dir, binds, &pin, &error)) return Fail(error);
    std::printf("testca serve: the site's key, SHA-256 of its SubjectPublicKeyInfo: %s\n", pin.c_str());
  }

  std::signal(SIGPIPE, SIG_IGN);
  asio::io_context io;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
  for (const std::string& bind : binds) {
    beast::error_code ec;
    const asio::ip::address address = asio::ip::make_address(bind, ec);
    auto acceptor = std::make_unique<tcp::acceptor>(io);
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    acceptor->open(endpoint.protocol(), ec);
    if (!ec) acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor->bind(endpoint, ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return Fail("cannot listen on " + bind + ": " + ec.message());
    port = acceptor->local_endpoint().port();  // the one port 0 picked, for every address
    const std::string host = address.is_v6() ? "[" + bind + "]" : bind;
    std::printf("testca serve: ready on %s://%s:%ld/\n", https ? "https" : "http", host.c_str(), port);
    acceptors.push_back(std::move(acceptor));
  }
  std::fflush(stdout);
  std::vector<std::thread> loops;
  for (auto& acceptor : acceptors) loops.emplace_back(AcceptLoop, acceptor.get(), &site, limits, tls.get());
  for (std::thread& loop : loops) loop.join();
  return 1;
}

}  // namespace testca
