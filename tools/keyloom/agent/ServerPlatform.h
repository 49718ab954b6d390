// What the agent's server needs of its platform beyond Asio: the options
// of its listening sockets, telling a machine without IPv6 from one
// whose [::1] is taken, the requests to stop, and who the peer of a
// loopback connection is. One file per platform implements it
// (ServerPosix.cpp, ServerWin32.cpp; PeerUserPosix.cpp, PeerUserWin32.cpp).
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "keyloom/agent/ControlWorker.h"
#include "keyloom/agent/Server.h"

struct sockaddr;

// Takes the listening sockets a service manager passed to the agent
// (socket activation, Activation.h): each adopted by an acceptor appended
// to `acceptors`, `port` set to the first one's port, and the control
// registered for the user on that first start. Returns their number, 0 when
// none were passed (always on Windows, where the agent starts at logon from
// the Run key), or -1 with the reason in `why`.
int TakeActivationSockets(boost::asio::io_context& io, std::deque<boost::asio::ip::tcp::acceptor>* acceptors,
                          unsigned* port, const AgentModule& module, std::string* why);

// Sets the options of a listening socket before it is bound: on POSIX the
// address may be reused at once after a restart; on Windows no other
// socket may bind the same address while the agent holds it
// (SO_EXCLUSIVEADDRUSE; SO_REUSEADDR there would let one take it over).
void SetListenerOptions(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec);

// True when the machine has no IPv6 loopback address at all (binding
// [::1] fails because the address does not exist), so that no other
// process can hold it either; false when it exists.
bool LoopbackHasNoIpv6();

// Calls `stop` on `io`'s thread once the agent is asked to stop: SIGINT or
// SIGTERM, and on Windows the stop request that `keyloom-agent.exe --stop`
// sends. The returned holder keeps the wait; it must not outlive `io`.
std::shared_ptr<void> WatchForStop(boost::asio::io_context& io, std::function<void()> stop);

// True when the socket at the other end of an accepted loopback connection
// (whose own address is `local` and whose peer is `peer`, both AF_INET or
// both AF_INET6) belongs to a process of the agent's own user: any local
// process can send any Origin header. False when it belongs to another
// user or cannot be found; then the connection is refused.
bool PeerIsOwnUser(const sockaddr* local, const sockaddr* peer);
