// The agent under load on loopback: many pages at once, each running its
// calls in order on its own control, and a stream of refused handshakes;
// afterwards its threads are gone and its memory is back near its level
// after a warm-up of the same shape.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "agent/AgentHarness.h"
#include "support/Base64Text.h"
#include "support/TestSupport.h"

namespace {

using namespace agent_test;

constexpr int kPages = 50;
constexpr int kRequestsPerPage = 9;  // with the two selections and 9 listings: 20 calls

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

// One page: SM2 on the token provider, then requests and listings in turn;
// how many of its 20 answers were right (a request's subject, read by
// OpenSSL, is the page's own).
int RunPage(unsigned port, int page) {
  Page p;
  // Ten origins, five pages each: within the default limit per origin.
  const std::string origin = "http://127.0.0.1:" + std::to_string(8000 + page % 10);
  if (p.Open(port, origin.c_str()) != 101) return 0;
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

// Runs the pages at once; the number of right answers.
int RunPages(unsigned port) {
  std::atomic<int> right{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kPages; ++i) threads.emplace_back([&, i] { right += RunPage(port, i); });
  for (std::thread& t : threads) t.join();
  return right;
}

// Waits up to 10 s for the agent's threads to come down to its serving
// thread; the count then.
long SettledThreads(const AgentProcess& agent) {
  for (int i = 0; i < 100 && agent.Status("Threads:") != 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return agent.Status("Threads:");
}

TEST(AgentLoad, ManyPagesAnswerCorrectlyRefusalsHoldAndMemoryReturns) {
  ScopedSoftHomes homes;
  ASSERT_EQ(RunCommand(KEYLOOM_CLI_PATH " regsvr -i:user", nullptr), 0);
  AgentProcess agent;
  ASSERT_NE(agent.port, 0u);

  // Warm-up of the same shape: the allocator's arenas and the databases'
  // caches reach their working size.
  EXPECT_EQ(RunPages(agent.port), kPages * 20);
  ASSERT_EQ(SettledThreads(agent), 1);
  const long warm = agent.Status("VmRSS:");

  EXPECT_EQ(RunPages(agent.port), kPages * 20);
  const std::string port = std::to_string(agent.port);
  const struct {
    const char* origin;
    std::string host;
  } kRefused[] = {{"http://127.0.0.2:8080", ""}, {"http://localhost:8080", ""}, {"null", ""}, {nullptr, ""},
                  {"http://127.0.0.1:8080", "evil.example:17443"}, {"http://127.0.0.1:8080", "evil.example:" + port}};
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = t; i < 1000; i += 4) {
        Page p;
        refused += p.Open(agent.port, kRefused[i % 6].origin, kRefused[i % 6].host) == 403;
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(refused, 1000);

  // Every connection's thread and control are gone, and the memory is back
  // within 2 MiB of the warm level: a second round leaves some fragments in
  // the allocator's per-thread arenas (about 0.3 MiB measured), while a loss
  // of 2 KiB per connection (1,050 of them) would pass the bound. Under
  // AddressSanitizer freed memory stays in quarantine, so the bound does not
  // apply; the leak checker judges the agent's exit instead.
  EXPECT_EQ(SettledThreads(agent), 1);
  const long after = agent.Status("VmRSS:");
  std::printf("agent RSS: %ld KiB after warm-up, %ld KiB after the load\n", warm, after);
#ifndef __SANITIZE_ADDRESS__
  EXPECT_LE(after, warm + 2 * 1024);
#endif
  EXPECT_EQ(agent.Stop(), 0);
}

}  // namespace
