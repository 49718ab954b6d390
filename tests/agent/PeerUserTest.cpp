// The owner of the other end of a loopback connection, found both ways the
// agent knows: this process's own connection belongs to its own user.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>

#include "keyloom/agent/PeerUser.h"

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

TEST(PeerUser, FindsTheOwnerOfTheOtherEndBothWays) {
  const struct {
    const char* address;
    bool (*find)(const sockaddr*, const sockaddr*, uid_t*);
    const char* way;
  } kRows[] = {
      {"127.0.0.1", FindPeerUserByDiag, "sock_diag"}, {"127.0.0.1", FindPeerUserByProc, "/proc/net/tcp"},
      {"::1", FindPeerUserByDiag, "sock_diag"},       {"::1", FindPeerUserByProc, "/proc/net/tcp6"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::string(row.address) + " " + row.way);
    net::io_context io;
    boost::system::error_code ec;
    tcp::acceptor acceptor(io);
    const tcp::endpoint any(net::ip::make_address(row.address), 0);
    acceptor.open(any.protocol(), ec);
    if (!ec) acceptor.bind(any, ec);
    if (ec) continue;  // a machine without IPv6
    acceptor.listen();
    tcp::socket client(io), server(io);
    client.connect(acceptor.local_endpoint());
    acceptor.accept(server);
    uid_t uid = 12345;
    const tcp::endpoint local = server.local_endpoint(), peer = server.remote_endpoint();
    EXPECT_TRUE(row.find(local.data(), peer.data(), &uid));
    EXPECT_EQ(uid, geteuid());
    // A pair with no socket behind it has no owner.
    const tcp::endpoint nobody(peer.address(), static_cast<unsigned short>(peer.port() ^ 1));
    EXPECT_FALSE(row.find(local.data(), nobody.data(), &uid));
  }
}

}  // namespace
