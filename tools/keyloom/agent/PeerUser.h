// Who is at the other end of a loopback TCP connection: the user owning
// the peer's socket, looked up by the connection's address pair. Any local
// process can send any Origin header, so a connection is admitted only when
// its peer is the agent's own user.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

// Finds the user owning the socket whose local address is `peer` and whose
// remote address is `local` (the other end of an accepted connection whose
// own addresses are `local` and `peer`; both AF_INET or both AF_INET6).
// Asks the kernel's socket diagnostics (NETLINK_SOCK_DIAG, an exact
// lookup of one socket). Returns true and sets `uid` when the socket was
// found; false otherwise, and then the connection is refused.
bool FindPeerUser(const sockaddr* local, const sockaddr* peer, uid_t* uid);
