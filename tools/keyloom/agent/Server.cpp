#include "keyloom/agent/Server.h"

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <unordered_map>

#include "keyloom/agent/Activation.h"
#include "keyloom/agent/Handshake.h"
#include "trace/Trace.h"

TRACE_COMPONENT("Agent");

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = beast::error_code;

constexpr auto kHandshakeTime = std::chrono::seconds(10);
constexpr size_t kHeaderLimit = 8192;
// Sockets open at once, admitted or still in their handshake.
constexpr unsigned kMaxSockets = 256;
// Messages of one connection waiting for the control; reading pauses there.
constexpr unsigned kMaxPending = 8;
// Beyond this a message is no longer read and discarded: the connection
// closes (WebSocket status 1009).
constexpr uint64_t kMaxDiscardBytes = 64ull << 20;

class Session;

struct Server {
  AgentOptions options;
  AgentModule module;
  unsigned port = 0;
  bool stopping = false;
  unsigned sockets = 0;
  unsigned admitted = 0;
  std::map<std::string, unsigned> perOrigin;
  std::unordered_map<Session*, std::weak_ptr<Session>> live;
  std::unordered_map<ControlWorker*, std::shared_ptr<ControlWorker>> workers;
  IdleExit* idleExit = nullptr;  // socket-activated: ends the agent when idle
  // Last, so that sessions still held by pending handlers are destroyed
  // while the tables above exist.
  net::io_context io{1};
  std::deque<tcp::acceptor> acceptors;
};

void TraceRefusal(const char* reason, const std::string& origin, const std::string& host) {
  TRACE_FAILURE(TraceValue(reason), TraceValue(origin.c_str()), TraceValue(host.c_str()));
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Server& server, tcp::socket socket)
      : server_(server), ws_(std::move(socket)), idle_(server.io) {
    ++server_.sockets;
    IdleExitOpened(server_.idleExit);
  }
  // A session is destroyed on the server's thread, or with the io context
  // after the server stopped: then only the accounting is left.
  ~Session() { Finish(/*closeNow=*/false); }

  void Start() {
    server_.live[this] = weak_from_this();
    ReadRequest();
  }

  // Ends the connection now (the agent is stopping).
  void Close() {
    error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
    idle_.cancel();
  }

 private:
  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(0);
    beast::get_lowest_layer(ws_).expires_after(kHandshakeTime);
    http::async_read(ws_.next_layer(), buffer_, *parser_,
                     [self = shared_from_this()](error_code ec, size_t) { self->OnRequest(ec); });
  }

  void OnRequest(error_code ec) {
    if (ec) {
      if (ec != http::error::end_of_stream && ec != net::error::operation_aborted)
        TraceRefusal("handshake not read", ec.message(), "");
      return Finish();
    }
    const auto& request = parser_->get();
    host_ = std::string(request[http::field::host]);
    origin_ = std::string(request[http::field::origin]);
    if (request.count(http::field::host) != 1 || !IsAgentHost(host_, server_.port))
      return Refuse(http::status::forbidden, "Host is not this agent's address");
    if (request.count(http::field::origin) != 1 || !IsTrustedOrigin(origin_))
      return Refuse(http::status::forbidden, "Origin is not in the trusted-sites zone");
    if (request.method() == http::verb::options) {
      if (request["Access-Control-Request-Private-Network"] != "true")
        return Refuse(http::status::forbidden, "OPTIONS is not a private network preflight");
      return Preflight(request.keep_alive());
    }
    if (!websocket::is_upgrade(request))
      return Refuse(http::status::forbidden, "not a WebSocket upgrade");
    const std::string key = ToLower(origin_);
    if (server_.perOrigin[key] >= server_.options.maxPerOrigin)
      return Refuse(http::status::too_many_requests, "too many open connections of this origin");
    if (server_.admitted >= server_.options.maxConnections)
      return Refuse(http::status::service_unavailable, "too many open connections");
    ++server_.perOrigin[key];
    ++server_.admitted;
    originKey_ = key;
    admitted_ = true;
    chinese_ = PrefersSimplifiedChinese(std::string(request[http::field::accept_language]));
    TRACE_VALUE("connection admitted", origin_.c_str());

    beast::get_lowest_layer(ws_).expires_never();
    ws_.set_option(websocket::stream_base::timeout{kHandshakeTime, websocket::stream_base::none(), false});
    ws_.read_message_max(kMaxDiscardBytes);
    ws_.async_accept(request, [self = shared_from_this()](error_code accepted) {
      if (accepted) return self->Finish();
      self->StartControl();
    });
  }

  static std::string ToLower(std::string text) {
    for (char& c : text)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
  }

  void Refuse(http::status status, const char* reason) {
    TraceRefusal(reason, origin_, host_);
    auto response = std::make_shared<http::response<http::string_body>>(status, 11);
    response->set(http::field::content_type, "text/plain; charset=utf-8");
    response->body() = std::string("refused: ") + reason + "\n";
    response->keep_alive(false);
    response->prepare_payload();
    http::async_write(ws_.next_layer(), *response,
                      [self = shared_from_this(), response](error_code, size_t) {
                        error_code ignored;
                        beast::get_lowest_layer(self->ws_).socket().shutdown(tcp::socket::shutdown_send, ignored);
                        self->Finish();
                      });
  }

  // Chrome's private network access preflight of an admitted origin.
  void Preflight(bool keepAlive) {
    auto response = std::make_shared<http::response<http::empty_body>>(http::status::no_content, 11);
    response->set("Access-Control-Allow-Private-Network", "true");
    response->set(http::field::access_control_allow_origin, origin_);
    response->set(http::field::vary, "Origin");
    response->keep_alive(keepAlive);
    http::async_write(ws_.next_layer(), *response,
                      [self = shared_from_this(), response, keepAlive](error_code ec, size_t) {
                        if (ec || !keepAlive) return self->Finish();
                        self->ReadRequest();
                      });
  }

  void StartControl() {
    std::weak_ptr<Session> weak = weak_from_this();
    Server* server = &server_;
    worker_ = StartControlWorker(
        server_.module, chinese_,
        [weak, server](std::string answer) {
          net::post(server->io, [weak, answer = std::move(answer)]() mutable {
            if (auto self = weak.lock()) self->Send(std::move(answer));
          });
        },
        [weak, server](ControlWorker* worker, bool created) {
          net::post(server->io, [weak, server, worker, created] {
            if (auto self = weak.lock(); self && !created) {
              TraceRefusal("the control could not be created", self->origin_, self->host_);
              self->Close();
            }
            // The thread has ended or is ending: join it.
            const auto it = server->workers.find(worker);
            if (it == server->workers.end()) return;
            if (it->second->thread.joinable()) it->second->thread.join();
            server->workers.erase(it);
          });
        });
    server_.workers[worker_.get()] = worker_;
    ArmIdle();
    ReadFrame();
  }

  void ReadFrame() {
    if (pending_ >= kMaxPending) {
      readPaused_ = true;
      return;
    }
    ws_.async_read_some(net::buffer(chunk_), [self = shared_from_this()](error_code ec, size_t n) {
      self->OnFrame(ec, n);
    });
  }

  void OnFrame(error_code ec, size_t n) {
    if (ec) {
      if (ec == websocket::error::message_too_big)
        TraceRefusal("message beyond the discard limit", origin_, host_);
      return Finish();
    }
    if (ws_.got_binary()) binary_ = true;
    if (!binary_ && !tooLong_) {
      if (message_.size() + n > kMaxMessageBytes) {
        tooLong_ = true;
        std::string().swap(message_);
      } else {
        message_.append(chunk_.data(), n);
      }
    }
    if (ws_.is_message_done()) {
      WorkItem item;
      if (binary_) item.fault = AgentFault::kBinary;
      else if (tooLong_) item.fault = AgentFault::kTooLong;
      else item.text = std::move(message_);
      if (item.fault) TraceRefusal(binary_ ? "binary message" : "message over 1 MiB", origin_, host_);
      std::string().swap(message_);
      binary_ = tooLong_ = false;
      ++pending_;
      EnqueueWork(*worker_, std::move(item));
      ArmIdle();
    }
    ReadFrame();
  }

  void Send(std::string answer) {
    if (finished_) return;
    if (pending_ > 0) --pending_;
    outbox_.push_back(std::move(answer));
    ArmIdle();
    if (!writing_) WriteNext();
    if (readPaused_ && pending_ < kMaxPending) {
      readPaused_ = false;
      ReadFrame();
    }
  }

  void WriteNext() {
    writing_ = true;
    ws_.text(true);
    ws_.async_write(net::buffer(outbox_.front()), [self = shared_from_this()](error_code ec, size_t) {
      self->outbox_.pop_front();
      if (ec || self->outbox_.empty()) {
        self->writing_ = false;
        return;
      }
      self->WriteNext();
    });
  }

  void ArmIdle() {
    idle_.expires_after(std::chrono::seconds(server_.options.idleSeconds));
    idle_.async_wait([weak = weak_from_this()](error_code ec) {
      if (ec) return;
      if (auto self = weak.lock()) self->OnIdle();
    });
  }

  void OnIdle() {
    if (finished_) return;
    if (pending_ > 0) return ArmIdle();  // a call is under way
    TraceRefusal("idle timeout", origin_, host_);
    ws_.async_close(websocket::close_reason(websocket::close_code::going_away, "idle timeout"),
                    [self = shared_from_this()](error_code) { self->Close(); });
  }

  // Gives back what the connection held and closes it; once.
  void Finish(bool closeNow = true) {
    if (finished_) return;
    finished_ = true;
    --server_.sockets;
    IdleExitClosed(server_.idleExit);
    server_.live.erase(this);
    if (admitted_ && --server_.perOrigin[originKey_] == 0) server_.perOrigin.erase(originKey_);
    if (admitted_) --server_.admitted;
    if (worker_) StopControlWorker(*worker_);
    if (!closeNow) return;
    error_code ignored;
    idle_.cancel();
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

  Server& server_;
  websocket::stream<beast::tcp_stream> ws_;
  net::steady_timer idle_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  std::string host_, origin_, originKey_;
  bool admitted_ = false, chinese_ = false, finished_ = false;
  std::shared_ptr<ControlWorker> worker_;
  std::array<char, 64 * 1024> chunk_;
  std::string message_;
  bool binary_ = false, tooLong_ = false, readPaused_ = false, writing_ = false;
  unsigned pending_ = 0;
  std::deque<std::string> outbox_;
};

void AcceptNext(Server& server, tcp::acceptor& acceptor) {
  acceptor.async_accept(server.io, [&server, &acceptor](error_code ec, tcp::socket socket) {
    if (server.stopping) return;
    if (!ec) {
      if (server.sockets >= kMaxSockets) {
        TraceRefusal("too many open sockets", "", "");
        error_code ignored;
        socket.close(ignored);
      } else {
        std::make_shared<Session>(server, std::move(socket))->Start();
      }
    }
    AcceptNext(server, acceptor);
  });
}

// Binds one loopback address; false with the reason in `why`.
bool Listen(Server& server, const net::ip::address& address, unsigned port, std::string* why) {
  tcp::acceptor acceptor(server.io);
  error_code ec;
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
  acceptor.open(endpoint.protocol(), ec);
  if (!ec && address.is_v6()) acceptor.set_option(net::ip::v6_only(true), ec);
  if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    *why = ec.message();
    return false;
  }
  server.port = acceptor.local_endpoint().port();
  server.acceptors.push_back(std::move(acceptor));
  return true;
}

void Stop(Server& server) {
  server.stopping = true;
  IdleExitStop(server.idleExit);
  for (tcp::acceptor& a : server.acceptors) {
    error_code ignored;
    a.close(ignored);
  }
  std::vector<std::shared_ptr<Session>> sessions;
  for (auto& [raw, weak] : server.live)
    if (auto s = weak.lock()) sessions.push_back(s);
  for (auto& s : sessions) s->Close();
}

}  // namespace

int RunAgent(const AgentOptions& options, const AgentModule& module) {
  Server server;
  server.options = options;
  server.module = module;
  std::string why;
  const int activated = AdoptListenSockets(server.io, &server.acceptors, &server.port, &why);
  if (activated < 0) {
    std::fprintf(stderr, "keyloom agent: the passed sockets cannot be used: %s\n", why.c_str());
    return 1;
  }
  if (activated == 0 && !Listen(server, net::ip::make_address("127.0.0.1"), options.port, &why)) {
    std::fprintf(stderr, "keyloom agent: cannot listen on 127.0.0.1:%u: %s\n", options.port, why.c_str());
    return 1;
  }
  if (activated == 0 && !Listen(server, net::ip::make_address("::1"), server.port, &why))
    std::fprintf(stderr, "keyloom agent: not listening on [::1]:%u: %s\n", server.port, why.c_str());
  std::optional<IdleExit> idle;
  if (activated > 0) {
    server.idleExit = &idle.emplace(server.io, options.idleSeconds, [&server] {
      Stop(server);
      server.io.stop();  // nothing is open: only the signal wait is left
    });
    RegisterForUserOnce(*module.module);
  }
  for (tcp::acceptor& a : server.acceptors) AcceptNext(server, a);

  net::signal_set signals(server.io, SIGINT, SIGTERM);
  signals.async_wait([&server](error_code ec, int) {
    if (!ec) Stop(server);
  });
  std::printf("keyloom agent listening on ws://127.0.0.1:%u/\n", server.port);
  std::fflush(stdout);
  server.io.run();
  server.idleExit = nullptr;

  // Every connection's thread ends before the module may be unloaded.
  for (auto& [raw, worker] : server.workers) {
    StopControlWorker(*worker);
    if (worker->thread.joinable()) worker->thread.join();
  }
  server.workers.clear();
  return 0;
}
