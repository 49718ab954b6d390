// The agent under load on loopback for 60 s: pages that pipeline calls and
// never read their answers, beside well-behaved pages whose requests are
// checked by OpenSSL. Prints the pages served, the stalled connections the
// write deadline closed and the agent's peak resident memory, and exits 1
// when a page got a wrong answer, the peak passed its bound (release build),
// no stalled connection was closed, or the agent's threads did not come back
// to their count. A load figure, not a unit test: how many closures fit in
// the 60 s depends on the machine, so only one is required.
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "agent/AgentHarness.h"
#include "support/Base64Text.h"
#include "support/TestSupport.h"

namespace {

using namespace agent_test;
using Clock = std::chrono::steady_clock;

constexpr auto kDuration = std::chrono::seconds(60);
constexpr int kStalled = 10;
constexpr int kPages = 40;
constexpr int kOrigins = 10;
constexpr int kRequestsPerPage = 9;  // with the two selections and 9 listings: 20 calls

// The peak resident memory the agent may reach: its own working size with
// 50 connections (about 18 MiB measured) and room to spare, while 10 pages
// that never read would grow it without limit (hundreds of MiB in 60 s).
constexpr long kPeakKiB = 64 * 1024;

std::string Origin(int n) { return "https://127.0.0.1:" + std::to_string(8000 + n % kOrigins); }

// The subject of a PKCS#10 request, read by OpenSSL; empty for no request.
std::string RequestSubject(const std::string& base64) {
  const std::vector<unsigned char> der = Unbase64(base64);
  const unsigned char* p = der.data();
  X509_REQ* request = d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size()));
  if (request == nullptr) return "";
  char name[256] = {};
  X509_NAME_oneline(X509_REQ_get_subject_name(request), name, sizeof name);
  X509_REQ_free(request);
  return name;
}

// One well-behaved page: SM2 on the token provider, then requests and
// listings in turn; how many of its 20 answers were right (a request's
// subject, read by OpenSSL, is the page's own).
int RunPage(unsigned port, int page) {
  Page p;
  if (p.Open(port, Origin(page).c_str()) != 101) return 0;
  int right = 0;
  int id = 0;
  auto ok = [&](const json& a) { return a.value("id", -1) == id && Hr(a) == "0x00000000"; };
  right += ok(p.Call(++id, "ZENQ_SetCSPInfo", {256, "Keyloom SM2 Token Provider"}));
  right += ok(p.Call(++id, "ZENQ_SetKeyAlgorithm", {"SM2"}));
  const std::string cn = "Load " + std::to_string(page);
  for (int i = 0; i < kRequestsPerPage; ++i) {
    const json request = p.Call(++id, "ZENQ_PKCS10CertRequisition", {"CN=" + cn + ",O=Keyloom,C=CN", 1, 0});
    right += ok(request) && RequestSubject(request.value("result", "")) == "/C=CN/O=Keyloom/CN=" + cn;  // the name as written, last part first
    const json listing = p.Call(++id, "ZENQ_GetAllCertInfo");
    right += ok(listing) && listing["result"].is_string();
  }
  return right;
}

// One page that never reads: it writes 100 calls at once, then small
// malformed messages whenever the agent takes them, until the agent closes
// the connection or the time is up. True when the agent closed it.
bool RunStalledPage(unsigned port, int page, Clock::time_point end) {
  Page p;
  p.receiveBuffer = 4096;
  if (p.Open(port, Origin(page).c_str()) != 101) return false;
  const int fd = p.ws.next_layer().native_handle();
  std::string calls;
  for (int id = 1; id <= 100; ++id)
    calls += ClientFrame(json{{"id", id}, {"method", id % 2 ? "ZENQ_GetCSPInfo" : "ZENQ_GetAllCertInfo"}}.dump());
  if (send(fd, calls.data(), calls.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(calls.size())) return false;
  std::string junk;
  for (int i = 0; i < 256; ++i) junk += ClientFrame("x");
  while (Clock::now() < end) {
    pollfd wait{fd, POLLOUT, 0};
    poll(&wait, 1, 100);
    if (wait.revents & (POLLERR | POLLHUP)) return true;
    if (wait.revents & POLLOUT) {
      // Whole frames only, so that the agent never sees a torn one.
      const ssize_t n = send(fd, junk.data(), junk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return true;
      if (n > 0 && n < static_cast<ssize_t>(junk.size()) &&
          send(fd, junk.data() + n, junk.size() - n, MSG_NOSIGNAL) < 0)
        return true;
    }
  }
  return false;
}

// Waits up to 10 s for the agent's threads to come down to `count`; the
// count then.
long SettledThreads(const AgentProcess& agent, long count) {
  for (int i = 0; i < 100 && agent.Status("Threads:") != count; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return agent.Status("Threads:");
}

// Prints a failed check; false.
bool Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "agent load: %s\n", what);
  return ok;
}

}  // namespace

int main() {
  ScopedSoftHomes homes;
  if (RunCommand(KEYLOOM_CLI_PATH " regsvr -i:user", nullptr) != 0) return Check(false, "regsvr failed"), 1;
  AgentProcess agent;
  if (agent.port == 0) return Check(false, "the agent did not start"), 1;
  const long threads = agent.Status("Threads:");
  const Clock::time_point end = Clock::now() + kDuration;

  std::atomic<int> closed{0}, rounds{0}, right{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kStalled; ++i)
    clients.emplace_back([&, i] {
      while (Clock::now() < end) closed += RunStalledPage(agent.port, i, end);
    });
  for (int i = 0; i < kPages; ++i)
    clients.emplace_back([&, i] {
      for (int round = 0; round == 0 || Clock::now() < end; ++round) {
        right += RunPage(agent.port, i + round * kPages);
        ++rounds;
      }
    });
  for (std::thread& t : clients) t.join();

  const long peak = agent.Status("VmHWM:");
  std::printf("agent: %d pages served, %d stalled connections closed, peak RSS %ld KiB\n", rounds.load(),
              closed.load(), peak);
  bool ok = Check(right == rounds * 20, "a page got a wrong answer");
  ok &= Check(rounds >= kPages, "a page was not served");
  ok &= Check(closed >= 1, "no stalled connection was closed at the write deadline");
  // Under AddressSanitizer every allocation carries its redzones and freed
  // memory stays in quarantine, so the bound applies to the release build.
#ifndef __SANITIZE_ADDRESS__
  ok &= Check(peak <= kPeakKiB, "the peak resident memory passed its bound");
#endif
  ok &= Check(SettledThreads(agent, threads) == threads, "the agent's threads did not come back to their count");
  ok &= Check(agent.Stop() == 0, "the agent did not exit 0");
  return ok ? 0 : 1;
}
