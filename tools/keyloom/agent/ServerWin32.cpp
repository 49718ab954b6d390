#include <boost/asio/windows/object_handle.hpp>
#include <cstdio>

#include "keyloom/agent/ServerPlatform.h"
#include "keyloom/agent/StopRequest.h"

int TakeActivationSockets(boost::asio::io_context&, std::deque<boost::asio::ip::tcp::acceptor>*, unsigned*,
                          const AgentModule&, std::string*) {
  return 0;  // started from the Run key at logon: nothing hands it sockets
}

void SetListenerOptions(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
  using Exclusive = boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
  acceptor.set_option(Exclusive(true), ec);
}

bool LoopbackHasNoIpv6() {
  const SOCKET probe = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
  if (probe == INVALID_SOCKET) return WSAGetLastError() == WSAEAFNOSUPPORT;
  sockaddr_in6 loop{};
  loop.sin6_family = AF_INET6;
  loop.sin6_addr = in6addr_loopback;
  const bool absent = bind(probe, reinterpret_cast<sockaddr*>(&loop), sizeof loop) != 0 &&
                      WSAGetLastError() == WSAEADDRNOTAVAIL;
  closesocket(probe);
  return absent;
}

std::shared_ptr<void> WatchForStop(boost::asio::io_context& io, std::function<void()> stop) {
  const std::wstring name = StopEventName(GetCurrentProcessId());
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  if (event == nullptr) {
    std::fprintf(stderr, "keyloom agent: no stop event (error %lu); --stop cannot reach this agent\n",
                 GetLastError());
    return nullptr;
  }
  auto wait = std::make_shared<boost::asio::windows::object_handle>(io, event);
  wait->async_wait([stop = std::move(stop)](boost::system::error_code ec) {
    if (!ec) stop();
  });
  return wait;
}
