#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/signal_set.hpp>
#include <cerrno>
#include <csignal>

#include "keyloom/agent/Activation.h"
#include "keyloom/agent/ServerPlatform.h"

int TakeActivationSockets(boost::asio::io_context& io, std::deque<boost::asio::ip::tcp::acceptor>* acceptors,
                          unsigned* port, const AgentModule& module, std::string* why) {
  const int count = AdoptListenSockets(io, acceptors, port, why);
  if (count > 0) RegisterForUserOnce(*module.module);
  return count;
}

void SetListenerOptions(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
  acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
}

bool LoopbackHasNoIpv6() {
  const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return true;
  sockaddr_in6 loop{};
  loop.sin6_family = AF_INET6;
  loop.sin6_addr = in6addr_loopback;
  const bool absent = bind(probe, reinterpret_cast<sockaddr*>(&loop), sizeof loop) != 0 && errno == EADDRNOTAVAIL;
  close(probe);
  return absent;
}

std::shared_ptr<void> WatchForStop(boost::asio::io_context& io, std::function<void()> stop) {
  auto signals = std::make_shared<boost::asio::signal_set>(io, SIGINT, SIGTERM);
  signals->async_wait([stop = std::move(stop)](boost::system::error_code ec, int) {
    if (!ec) stop();
  });
  return signals;
}
