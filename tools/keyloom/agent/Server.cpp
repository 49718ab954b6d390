#include "keyloom/agent/Server.h"

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
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
#include "keyloom/agent/Refusals.h"
#include "keyloom/agent/ServerPlatform.h"
#include "trace/Trace.h"

TRACE_COMPONENT("Agent");

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = beast::error_code;
using Clock = std::chrono::steady_clock;

constexpr auto kHandshakeTime = std::chrono::seconds(10);
// A write that has not finished by then closes the connection: a page
// that stops reading holds no thread and no place of its origin.
constexpr auto kWriteTime = std::chrono::seconds(30);
constexpr size_t kHeaderLimit = 8192;
// Sockets open at once, admitted or still in their handshake.
constexpr unsigned kMaxSockets = 256;
// Calls of one connection read and not yet answered on the wire; reading
// pauses there.
constexpr unsigned kMaxPending = 8;
// Text of one connection queued for its control or for the wire; reading
// pauses beyond it.
constexpr size_t kMaxQueuedBytes = 1u << 20;
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
  RefusalLog refusals;
  bool flushArmed = false;
  // Last, so that sessions still held by pending handlers are destroyed
  // while the tables above exist.
  net::io_context io{1};
  net::steady_timer refusalFlush{io};
  std::deque<tcp::acceptor> acceptors;
};

// The one place where open sockets are counted (`delta` +1 or -1).
void CountSocket(Server& server, int delta) {
  server.sockets += delta;
  if (delta > 0) IdleExitOpened(server.idleExit);
  else IdleExitClosed(server.idleExit);
}

// Records a refusal (Refusals.h); the count of those not written is
// written a second later.
void Refusal(Server& server, const char* reason, const std::string& origin, const std::string& host,
             bool handshake) {
  if (RecordRefusal(server.refusals, Clock::now(), reason, origin, host, handshake) || server.flushArmed) return;
  server.flushArmed = true;
  server.refusalFlush.expires_at(server.refusals.windowStart + std::chrono::seconds(1));
  server.refusalFlush.async_wait([&server](error_code) {
    server.flushArmed = false;
    FlushRefusals(server.refusals);
  });
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Server& server, tcp::socket socket)
      : server_(server), ws_(std::move(socket)), idle_(server.io), writeDeadline_(server.io) {
    CountSocket(server_, +1);
  }
  // A session is destroyed on the server's thread, or with the io context
  // after the server stopped: then only the accounting is left.
  ~Session() { Finish(/*closeNow=*/false); }

  void Start() {
    server_.live[this] = weak_from_this();
    ReadRequest();
  }

  // Gives back what the connection held and closes it; once.
  void Finish(bool closeNow = true) {
    if (finished_) return;
    // The session may hold the last reference to itself: it goes when
    // this function returns.
    const std::shared_ptr<Session> keep = std::move(holder_);
    finished_ = true;
    CountSocket(server_, -1);
    server_.live.erase(this);
    if (admitted_ && --server_.perOrigin[originKey_] == 0) server_.perOrigin.erase(originKey_);
    if (admitted_) --server_.admitted;
    if (worker_) StopControlWorker(*worker_);
    if (!closeNow) return;
    error_code ignored;
    idle_.cancel();
    writeDeadline_.cancel();
    beast::get_lowest_layer(ws_).socket().close(ignored);
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

  void Refused(const char* reason, bool handshake = true) { Refusal(server_, reason, origin_, host_, handshake); }

  // True when the other end of the connection is a socket of the agent's
  // own user: any local process can send any Origin header.
  bool PeerIsOwnUserConnection() {
    const tcp::socket& socket = beast::get_lowest_layer(ws_).socket();
    error_code ec1, ec2;
    const tcp::endpoint local = socket.local_endpoint(ec1), peer = socket.remote_endpoint(ec2);
    return !ec1 && !ec2 && PeerIsOwnUser(local.data(), peer.data());
  }

  void OnRequest(error_code ec) {
    if (ec) {
      if (ec != http::error::end_of_stream && ec != net::error::operation_aborted && !finished_)
        Refused("no request read");
      return Finish();
    }
    if (finished_) return;
    const auto& request = parser_->get();
    host_ = std::string(request[http::field::host]);
    origin_ = std::string(request[http::field::origin]);
    if (!PeerIsOwnUserConnection())
      return Refuse(http::status::forbidden, "the connecting process belongs to another user");
    if (!IsOriginFormTarget(std::string_view(request.target().data(), request.target().size())))
      return Refuse(http::status::bad_request, "the request target is not a path");
    if (request.count(http::field::host) != 1 || !IsAgentHost(host_, server_.port))
      return Refuse(http::status::forbidden, "Host is not this agent's address");
    if (request.count(http::field::origin) != 1 || !IsAdmittedOrigin(origin_, server_.options.allowOrigins))
      return Refuse(http::status::forbidden,
                    "Origin is neither an https site of the trusted-sites zone nor named by --allow-origin");
    if (request.method() == http::verb::options) {
      if (request["Access-Control-Request-Private-Network"] != "true")
        return Refuse(http::status::forbidden, "OPTIONS is not a private network preflight");
      return Preflight();
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
    TRACE_VALUE("connection admitted", RefusalText(origin_).c_str());

    beast::get_lowest_layer(ws_).expires_never();
    ws_.set_option(websocket::stream_base::timeout{kHandshakeTime, websocket::stream_base::none(), false});
    ws_.read_message_max(kMaxDiscardBytes);
    ws_.async_accept(request, [self = shared_from_this()](error_code accepted) {
      if (accepted || self->finished_) return self->Finish();
      self->StartControl();
    });
  }

  static std::string ToLower(std::string text) {
    for (char& c : text)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
  }

  void Refuse(http::status status, const char* reason) {
    Refused(reason);
    auto response = std::make_shared<http::response<http::string_body>>(status, 11);
    response->set(http::field::content_type, "text/plain; charset=utf-8");
    response->body() = std::string("refused: ") + reason + "\n";
    response->keep_alive(false);
    response->prepare_payload();
    http::async_write(ws_.next_layer(), *response,
                      [self = shared_from_this(), response](error_code, size_t) { self->EndAfterAnswer(); });
  }

  void EndAfterAnswer() {
    error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_send, ignored);
    Finish();
  }

  // Chrome's private network access preflight of an admitted origin. The
  // connection closes after it: kept alive, each preflight would hold a
  // socket without a place of any origin.
  void Preflight() {
    auto response = std::make_shared<http::response<http::empty_body>>(http::status::no_content, 11);
    response->set("Access-Control-Allow-Private-Network", "true");
    response->set(http::field::access_control_allow_origin, origin_);
    response->set(http::field::vary, "Origin");
    response->keep_alive(false);
    http::async_write(ws_.next_layer(), *response,
                      [self = shared_from_this(), response](error_code, size_t) { self->EndAfterAnswer(); });
  }

  void StartControl() {
    // Held until Finish: while reading pauses no handler may be pending,
    // and the connection must still be there when the answers come.
    holder_ = shared_from_this();
    std::weak_ptr<Session> weak = weak_from_this();
    Server* server = &server_;
    worker_ = StartControlWorker(
        server_.module, chinese_, server_.options.keysPerMinute,
        [weak, server](std::string answer) {
          net::post(server->io, [weak, answer = std::move(answer)]() mutable {
            if (auto self = weak.lock()) self->Send(std::move(answer));
          });
        },
        [weak, server](ControlWorker* worker, bool created) {
          net::post(server->io, [weak, server, worker, created] {
            if (auto self = weak.lock(); self && !created) {
              self->Refused("the control could not be created", false);
              self->Finish();
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
    if (pending_ >= kMaxPending || queuedBytes_ >= kMaxQueuedBytes) {
      readPaused_ = true;
      return;
    }
    readPaused_ = false;
    ws_.async_read_some(net::buffer(chunk_), [self = shared_from_this()](error_code ec, size_t n) {
      self->OnFrame(ec, n);
    });
  }

  void OnFrame(error_code ec, size_t n) {
    if (finished_) return;
    if (ec) {
      if (ec == websocket::error::message_too_big) Refused("message beyond the discard limit", false);
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
      if (item.fault) Refused(binary_ ? "binary message" : "message over 1 MiB", false);
      std::string().swap(message_);
      binary_ = tooLong_ = false;
      // A call is pending until its answer is on the wire.
      ++pending_;
      callBytes_.push_back(item.text.size());
      queuedBytes_ += item.text.size();
      EnqueueWork(*worker_, std::move(item));
      ArmIdle();
    }
    ReadFrame();
  }

  // An answer from the control's thread: it takes its call's place in the
  // queued bytes.
  void Send(std::string answer) {
    if (finished_) return;
    if (!callBytes_.empty()) {
      queuedBytes_ -= callBytes_.front();
      callBytes_.pop_front();
    }
    queuedBytes_ += answer.size();
    outbox_.push_back(std::move(answer));
    ArmIdle();
    if (!writing_) WriteNext();
  }

  void WriteNext() {
    writing_ = true;
    writeDeadline_.expires_after(kWriteTime);
    writeDeadline_.async_wait([weak = weak_from_this()](error_code ec) {
      if (ec) return;
      if (auto self = weak.lock(); self && self->writing_) {
        self->Refused("the page did not read its answers for 30 s", false);
        self->Finish();
      }
    });
    ws_.text(true);
    ws_.async_write(net::buffer(outbox_.front()), [self = shared_from_this()](error_code ec, size_t) {
      self->OnWritten(ec);
    });
  }

  void OnWritten(error_code ec) {
    writing_ = false;
    writeDeadline_.cancel();
    if (finished_) return;
    if (ec) return Finish();
    queuedBytes_ -= outbox_.front().size();
    outbox_.pop_front();
    --pending_;
    ArmIdle();
    if (!outbox_.empty()) WriteNext();
    if (readPaused_) ReadFrame();
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
    if (pending_ > 0) return ArmIdle();  // a call is under way; a stuck write has its own deadline
    Refused("idle timeout", false);
    ws_.async_close(websocket::close_reason(websocket::close_code::going_away, "idle timeout"),
                    [self = shared_from_this()](error_code) { self->Finish(); });
  }

  Server& server_;
  websocket::stream<beast::tcp_stream> ws_;
  net::steady_timer idle_, writeDeadline_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  std::string host_, origin_, originKey_;
  bool admitted_ = false, chinese_ = false, finished_ = false;
  std::shared_ptr<Session> holder_;
  std::shared_ptr<ControlWorker> worker_;
  std::array<char, 64 * 1024> chunk_;
  std::string message_;
  bool binary_ = false, tooLong_ = false, readPaused_ = false, writing_ = false;
  unsigned pending_ = 0;
  size_t queuedBytes_ = 0;
  std::deque<size_t> callBytes_;  // the size of each call the control has not answered yet
  std::deque<std::string> outbox_;
};

void AcceptNext(Server& server, tcp::acceptor& acceptor) {
  acceptor.async_accept(server.io, [&server, &acceptor](error_code ec, tcp::socket socket) {
    if (server.stopping) return;
    if (!ec) {
      if (server.sockets >= kMaxSockets) {
        Refusal(server, "too many open sockets", "", "", true);
        error_code ignored;
        socket.close(ignored);
      } else {
        std::make_shared<Session>(server, std::move(socket))->Start();
      }
    }
    AcceptNext(server, acceptor);
  });
}

// Binds and listens on one loopback address with an acceptor appended to
// `acceptors`; false with the reason in `why` (and no acceptor).
bool ListenOn(net::io_context& io, const net::ip::address& address, unsigned port,
              std::deque<tcp::acceptor>* acceptors, std::string* why) {
  tcp::acceptor acceptor(io);
  error_code ec;
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
  acceptor.open(endpoint.protocol(), ec);
  if (!ec && address.is_v6()) acceptor.set_option(net::ip::v6_only(true), ec);
  if (!ec) SetListenerOptions(acceptor, ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    const std::string name = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    *why = name + ":" + std::to_string(port) + ": " + ec.message();
    return false;
  }
  acceptors->push_back(std::move(acceptor));
  return true;
}

// Binds 127.0.0.1 and, when the machine has IPv6, ::1 on `port` (0: a free
// port, the same on both) with acceptors appended to `acceptors`, and sets
// `bound` to the port. False, with the reason in `why` and no acceptor
// added, when either address cannot be held: another process holding
// [::1]:PORT could answer pages that reach "localhost".
bool BindLoopback(net::io_context& io, unsigned port, std::deque<tcp::acceptor>* acceptors, unsigned* bound,
                  std::string* why) {
  // With port 0 the free port of 127.0.0.1 may be taken on ::1: try again.
  for (int attempt = 0; attempt < (port == 0 ? 8 : 1); ++attempt) {
    std::deque<tcp::acceptor> held;
    if (!ListenOn(io, net::ip::make_address("127.0.0.1"), port, &held, why)) return false;
    error_code ec;
    const unsigned chosen = held.front().local_endpoint(ec).port();
    std::string v6why;
    // A machine without IPv6 has no [::1] that anyone could take.
    if (ListenOn(io, net::ip::make_address("::1"), chosen, &held, &v6why) || LoopbackHasNoIpv6()) {
      for (tcp::acceptor& a : held) acceptors->push_back(std::move(a));
      *bound = chosen;
      return true;
    }
    *why = v6why;
  }
  return false;
}

void Stop(Server& server) {
  server.stopping = true;
  IdleExitStop(server.idleExit);
  for (tcp::acceptor& a : server.acceptors) {
    error_code ignored;
    a.close(ignored);
  }
  server.refusalFlush.cancel();
  std::vector<std::shared_ptr<Session>> sessions;
  for (auto& [raw, weak] : server.live)
    if (auto s = weak.lock()) sessions.push_back(s);
  for (auto& s : sessions) s->Finish();
}

}  // namespace

int RunAgent(const AgentOptions& options, const AgentModule& module) {
  Server server;
  server.options = options;
  server.module = module;
  std::string why;
  const int activated = TakeActivationSockets(server.io, &server.acceptors, &server.port, module, &why);
  if (activated < 0) {
    std::fprintf(stderr, "keyloom agent: the passed sockets cannot be used: %s\n", why.c_str());
    return 1;
  }
  if (activated == 0) {
    if (!BindLoopback(server.io, options.port, &server.acceptors, &server.port, &why)) {
      std::fprintf(stderr, "keyloom agent: cannot listen on every loopback address (%s); not started\n", why.c_str());
      return 1;
    }
  }
  std::optional<IdleExit> idle;
  if (activated > 0) {
    server.idleExit = &idle.emplace(server.io, options.idleSeconds, [&server] {
      Stop(server);
      server.io.stop();  // nothing is open: only the signal wait is left
    });
  }
  for (tcp::acceptor& a : server.acceptors) AcceptNext(server, a);

  const std::shared_ptr<void> stopWatch = WatchForStop(server.io, [&server] { Stop(server); });
  std::printf("keyloom agent listening on ws://127.0.0.1:%u/\n", server.port);
  std::fflush(stdout);
  server.io.run();
  server.idleExit = nullptr;
  FlushRefusals(server.refusals);

  // Every connection's thread ends before the module may be unloaded.
  for (auto& [raw, worker] : server.workers) {
    StopControlWorker(*worker);
    if (worker->thread.joinable()) worker->thread.join();
  }
  server.workers.clear();
  return 0;
}
