#include "keyloom/agent/PeerUser.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "keyloom/agent/ServerPlatform.h"

namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// The address bytes and port (network order) of an IPv4 or IPv6 address.
bool AddressOf(const sockaddr* a, const void** bytes, size_t* size, uint16_t* port) {
  if (a->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(a);
    *bytes = &in->sin_addr;
    *size = 4;
    *port = in->sin_port;
    return true;
  }
  if (a->sa_family == AF_INET6) {
    const auto* in = reinterpret_cast<const sockaddr_in6*>(a);
    *bytes = &in->sin6_addr;
    *size = 16;
    *port = in->sin6_port;
    return true;
  }
  return false;
}

}  // namespace

bool FindPeerUser(const sockaddr* local, const sockaddr* peer, uid_t* uid) {
  const void *localBytes, *peerBytes;
  size_t localSize, peerSize;
  uint16_t localPort, peerPort;
  if (!AddressOf(local, &localBytes, &localSize, &localPort) || !AddressOf(peer, &peerBytes, &peerSize, &peerPort) ||
      localSize != peerSize)
    return false;
  Fd sock{socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)};
  if (sock.fd < 0) return false;
  const timeval wait{1, 0};
  setsockopt(sock.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.request.sdiag_family = static_cast<uint8_t>(local->sa_family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  // The peer's socket: its source is our peer, its destination is us.
  message.request.id.idiag_sport = peerPort;
  message.request.id.idiag_dport = localPort;
  std::memcpy(message.request.id.idiag_src, peerBytes, peerSize);
  std::memcpy(message.request.id.idiag_dst, localBytes, localSize);
  message.request.id.idiag_cookie[0] = message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(sock.fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
    return false;

  alignas(nlmsghdr) char answer[8192];
  const ssize_t n = recv(sock.fd, answer, sizeof answer, 0);
  if (n < 0) return false;
  int left = static_cast<int>(n);
  // NLMSG_OK compares the header's unsigned length with the signed count it
  // is given (signed so that NLMSG_NEXT can take it below zero): clang
  // names that comparison, GCC does not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
  for (auto* h = reinterpret_cast<nlmsghdr*>(answer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
    if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
    const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
    // The kernel answers the socket of exactly this address pair.
    if (found->id.idiag_sport != peerPort || found->id.idiag_dport != localPort) continue;
    *uid = found->idiag_uid;
    return true;
  }
#pragma GCC diagnostic pop
  return false;
}

bool PeerIsOwnUser(const sockaddr* local, const sockaddr* peer) {
  uid_t uid = 0;
  return FindPeerUser(local, peer, &uid) && uid == geteuid();
}
