// The peer of a loopback connection on Windows: the owning process of the
// peer's socket from the TCP table (GetExtendedTcpTable), then the user of
// that process's token, compared with the agent's own.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstring>
#include <vector>

#include "keyloom/agent/ServerPlatform.h"

namespace {

// The TCP table of `family` with each connection's owning process; empty
// when it cannot be read.
std::vector<unsigned char> TcpTable(ULONG family) {
  std::vector<unsigned char> table(16 * 1024);
  // The table may grow between the size query and the read: a few tries.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = static_cast<DWORD>(table.size());
    const DWORD status =
        GetExtendedTcpTable(table.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    if (status == NO_ERROR) return table;
    if (status != ERROR_INSUFFICIENT_BUFFER) break;
    table.resize(size + 4096);
  }
  return {};
}

// The owning process of the socket whose own address is `own` and whose
// remote address is `remote`: true with `pid` when the table lists it.
bool FindSocketOwner(const sockaddr* own, const sockaddr* remote, DWORD* pid) {
  if (own->sa_family == AF_INET && remote->sa_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(own);
    const auto* b = reinterpret_cast<const sockaddr_in*>(remote);
    const std::vector<unsigned char> buffer = TcpTable(AF_INET);
    if (buffer.empty()) return false;
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& row = table->table[i];
      // Ports are in network order in the low 16 bits.
      if (row.dwLocalAddr == a->sin_addr.s_addr && static_cast<u_short>(row.dwLocalPort) == a->sin_port &&
          row.dwRemoteAddr == b->sin_addr.s_addr && static_cast<u_short>(row.dwRemotePort) == b->sin_port) {
        *pid = row.dwOwningPid;
        return true;
      }
    }
    return false;
  }
  if (own->sa_family == AF_INET6 && remote->sa_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(own);
    const auto* b = reinterpret_cast<const sockaddr_in6*>(remote);
    const std::vector<unsigned char> buffer = TcpTable(AF_INET6);
    if (buffer.empty()) return false;
    const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
      if (std::memcmp(row.ucLocalAddr, &a->sin6_addr, 16) == 0 &&
          static_cast<u_short>(row.dwLocalPort) == a->sin6_port &&
          std::memcmp(row.ucRemoteAddr, &b->sin6_addr, 16) == 0 &&
          static_cast<u_short>(row.dwRemotePort) == b->sin6_port) {
        *pid = row.dwOwningPid;
        return true;
      }
    }
  }
  return false;
}

// The token user of `process` in `buffer`; null when it cannot be read.
PSID UserOf(HANDLE process, std::vector<unsigned char>* buffer) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return nullptr;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  buffer->resize(size);
  const bool ok = size > 0 && GetTokenInformation(token, TokenUser, buffer->data(), size, &size);
  CloseHandle(token);
  return ok ? reinterpret_cast<TOKEN_USER*>(buffer->data())->User.Sid : nullptr;
}

}  // namespace

bool PeerIsOwnUser(const sockaddr* local, const sockaddr* peer) {
  // The peer's socket: its own address is our peer, its remote one is us.
  DWORD pid = 0;
  if (!FindSocketOwner(peer, local, &pid)) return false;
#ifdef KEYLOOM_AGENT_ADMIT_UNOWNED_PEERS
  // Test builds only (never the release build or the package): Wine lists a
  // socket of a host process, which is no Wine process, without an owner.
  if (pid == 0) return true;
#endif
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  std::vector<unsigned char> theirs, ours;
  const PSID peerUser = UserOf(process, &theirs);
  CloseHandle(process);
  const PSID ownUser = UserOf(GetCurrentProcess(), &ours);
  return peerUser != nullptr && ownUser != nullptr && EqualSid(peerUser, ownUser);
}
