// `keyloom agent` over the wire: who is admitted at the handshake, how
// faulty messages are answered, preflights, the attacks.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include <boost/asio/ip/v6_only.hpp>

#include "agent/AgentHarness.h"
#include "base/Platform.h"
#include "support/TestSupport.h"

namespace {

using namespace agent_test;

// A registered user (the trusted sites hold http and https of 127.0.0.1
// and *.keyloom-bank.example) and an agent tracing its refusals.
struct AgentTest : ::testing::Test {
  void SetUp() override { ASSERT_EQ(RunCommand(KEYLOOM_CLI_PATH " regsvr -i:user", nullptr), 0); }
  size_t TraceLines(const char* text) { return static_cast<size_t>(Count(ReadFile(trace_), text)); }
  // Refusals on standard error: written one a line, counted beyond the limit, the longest line.
  struct Reported { size_t written = 0, counted = 0, longest = 0; };
  Reported StderrRefusals() {
    std::istringstream lines(ReadFile(err_));
    Reported r;
    size_t more = 0;
    for (std::string line; std::getline(lines, line);) {
      r.written += line.starts_with("keyloom agent: refused ");
      if (std::sscanf(line.c_str(), "keyloom agent: %zu more refusals not shown", &more) == 1) r.counted += more;
      r.longest = std::max(r.longest, line.size());
    }
    return r;
  }
  ScopedSoftHomes homes_;
  std::string err_ = homes_.root() + "/agent.err";
  ScopedEnv lang_{"LANG", "C"}, all_{"LC_ALL", nullptr}, messages_{"LC_MESSAGES", nullptr};
  std::string trace_ = homes_.root() + "/trace.log";
  ScopedEnv traceMask_{"KEYLOOM_TRACE", "9"}, traceFile_{"KEYLOOM_TRACE_FILE", trace_.c_str()};
};

TEST_F(AgentTest, AdmitsOnlyTrustedOriginsThatReachItByItsOwnAddress) {
  const Platform& p = Plat();
  ASSERT_TRUE(SUCCEEDED(p.CoInitialize(nullptr)));
  void* security = nullptr;
  ASSERT_EQ(p.CoCreateInstance(CLSID_InternetSecurityManager, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IInternetSecurityManager, &security), S_OK);
  for (const auto& [zone, site] :
       {std::pair{URLZONE_INTRANET, u"https://intranet.example"}, {URLZONE_UNTRUSTED, u"https://restricted.example"}})
    EXPECT_EQ(p.SetZoneMapping(security, zone, site, SZM_CREATE), S_OK);
  p.ComRelease(security);
  p.CoUninitialize();
  AgentProcess agent("--allow-origin http://127.0.0.1:8080 --allow-origin http://Demo.Keyloom-Bank.example:9", err_);
  ASSERT_NE(agent.port, 0u);
  const std::string port = std::to_string(agent.port);
  // origin null: no Origin header; host empty: 127.0.0.1:PORT.
  const struct { const char* origin; std::string host; int status; } kRows[] = {
      {"http://127.0.0.1:8080", "", 101},                  // named by --allow-origin
      {"http://demo.keyloom-bank.example:9", "[::1]:" + port, 101},  // named, in another case
      {"https://www.keyloom-bank.example", "localhost:" + port, 101},  // *.keyloom-bank.example
      {"http://www.keyloom-bank.example", "", 403},         // trusted zone, but plain http
      {"http://127.0.0.1:8081", "", 403},                   // a port not named
      {"https://intranet.example", "", 403},                // zone 1
      {"https://restricted.example", "", 403},              // zone 4
      {"http://127.0.0.1:8080", "evil.example:" + port, 403},  // DNS rebinding
      {"http://127.0.0.1:8080", "127.0.0.1:1", 403},         // another port
      {"null", "", 403},                  {nullptr, "", 403},
      {"http://evil.example@127.0.0.1", "", 403},  // never the form a browser sends
      {"http://127.0.0.1:8080/page", "", 403},
      {"https://keyloom-bank.example.evil.example", "", 403},  // zone 3
  };
  size_t refused = 0;
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::string(row.origin ? row.origin : "(none)") + " " + row.host);
    Page page;
    EXPECT_EQ(page.Open(agent.port, row.origin, row.host), row.status);
    EXPECT_EQ(page.response.count(http::field::access_control_allow_origin), 0u);
    if (row.status == 101) {
      const json answer = page.Call(1, "ZENQ_GetCSPInfo");
      EXPECT_EQ(Hr(answer), "0x00000000") << answer;
    } else {
      ++refused;
    }
  }
  EXPECT_EQ(agent.Stop(), 0);
  const Reported reported = StderrRefusals();
  EXPECT_EQ(reported.written + reported.counted, refused);  // each refusal reported or counted
  EXPECT_GE(TraceLines("Agent."), std::min<size_t>(refused, 10));
  // A control was made for each admitted page only (entry and exit records).
  EXPECT_EQ(TraceLines("DllGetClassObject"), 2u * 3u);
}

TEST_F(AgentTest, LimitsOpenConnectionsPerOriginAndInAll) {
  AgentProcess agent("--max-per-origin 2 --max-connections 3");
  const struct { const char* origin; int status; } kRows[] = {
      {"https://127.0.0.1:1", 101}, {"https://127.0.0.1:1", 101}, {"https://127.0.0.1:1", 429},
               {"https://127.0.0.1:2", 101}, {"https://127.0.0.1:2", 503}};
  std::vector<std::unique_ptr<Page>> open;
  for (const auto& row : kRows) {
    open.push_back(std::make_unique<Page>());
    EXPECT_EQ(open.back()->Open(agent.port, row.origin), row.status) << row.origin;
  }
  open.front()->ws.close(websocket::close_code::normal);  // a place of the first origin comes free
  open.front()->Read();
  Page again;
  EXPECT_EQ(again.Open(agent.port, "https://127.0.0.1:1"), 101);
}

TEST_F(AgentTest, FaultyMessagesAreAnsweredAndTheConnectionServesOn) {
  AgentProcess agent;
  Page page;
  ASSERT_EQ(page.Open(agent.port), 101);
  const std::string big = R"({"id":1,"method":"ZENQ_GetCSPInfo","params":[")" + std::string(2u << 20, 'A') + "\"]}";
  const struct { std::string message; json id; const char* hr; } kRows[] = {  // "binary": a binary frame
      {R"({"id":1,"method":"ZENQ_GetCSPInfo","params":[)", nullptr, "0x80070057"},  // truncated
      {R"({"id":"2","method":"ZENQ_GetCSPInfo","params":[]})", nullptr, "0x80070057"},
      {R"({"id":3,"method":7,"params":[]})", 3, "0x80070057"},
      {R"({"id":4,"method":"ZENQ_GetCSPInfo","params":"none"})", 4, "0x80070057"},
      {R"({"id":6,"method":"ZENQ_SetCSPInfo","params":[1e20,"x"]})", 6, "0x8002000a"},  // DISP_E_OVERFLOW
      {R"({"id":7,"method":"ZENQ_SetCSPInfo","params":["big","x"]})", 7, "0x80020005"},
      {R"({"id":9,"method":"ZENQ_NoSuchMethod","params":[]})", 9, "0x80020006"},
      {R"({"id":10,"method":"ZENQ_GetCSPInfo","params":[1]})", 10, "0x8002000e"},
      {big, nullptr, "0x80070018"},
      {"binary", nullptr, "0x80070057"},
      {R"({"id":11,"method":"ZENQ_SetKeyAlgorithm","params":["ECC"]})", 11, "0xa0072401"},  // the control's own
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.message.substr(0, 80));
    json answer;
    if (row.message == "binary") {
      page.ws.binary(true);
      page.ws.write(net::buffer(std::string(16, '\x01')));
      answer = page.Read();
    } else {
      answer = page.Call(row.message);
    }
    EXPECT_EQ(answer["id"], row.id) << answer;
    EXPECT_EQ(Hr(answer), row.hr);
    EXPECT_TRUE(answer["result"].is_null());
    EXPECT_FALSE(answer.value("description", std::string()).empty()) << answer;
    const json next = page.Call(100, "ZENQ_GetCSPInfo");
    EXPECT_EQ(Hr(next), "0x00000000");
    EXPECT_NE(next.value("result", std::string()).find("Keyloom SM2 Token Provider"), std::string::npos) << next;
  }
}

// A page preferring Simplified Chinese gets the descriptions in Chinese;
// Traditional Chinese, or none asked, gets them in English.
TEST_F(AgentTest, DescriptionsFollowThePagesLanguage) {
  AgentProcess agent;
  const std::string en = "Invalid key algorithm.\n(0xa0072401)", zh = "无效的密钥算法\n(0xa0072401)";
  const struct { const char* language; const std::string& text; } kRows[] = {
      {"", en}, {"zh-TW,zh-Hant;q=0.9", en}, {"fr-FR, en;q=0.5, zh-Hans;q=0.8", zh},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.language);
    Page page;
    ASSERT_EQ(page.Open(agent.port, "https://127.0.0.1:8080", "", row.language), 101);
    EXPECT_EQ(page.Call(1, "ZENQ_SetKeyAlgorithm", {"ECC"}).value("description", std::string()), row.text);
  }
}

// Writes `count` calls in one write, `first` then ZENQ_GetCSPInfo, and
// reads the answers: "N answers in order", or where they stopped.
std::string Pipeline(unsigned port, int count, const json& first) {
  Page page;
  if (page.Open(port) != 101) return "not admitted";
  std::string bytes;
  for (int id = 1; id <= count; ++id) {
    json call = id == 1 ? first : json{{"method", "ZENQ_GetCSPInfo"}, {"params", json::array()}};
    call["id"] = id;
    bytes += ClientFrame(call.dump());
  }
  net::write(page.ws.next_layer(), net::buffer(bytes));
  for (int id = 1; id <= count; ++id) {
    const json answer = page.Read();
    if (answer.value("id", 0) != id) return std::to_string(id - 1) + " answers, then " + answer.dump();
  }
  return std::to_string(count) + " answers in order";
}

// Writes `request` on a connection of its own and reads for up to 3 s: the
// answer's status line and Access-Control- fields, then "closed" or "kept open".
std::string Raw(unsigned port, const std::string& request) {
  net::io_context io;
  tcp::socket socket(io);
  socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
  const timeval wait{3, 0};
  setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  net::write(socket, net::buffer(request));
  std::string seen;
  char buffer[4096];
  ssize_t n;
  while ((n = recv(socket.native_handle(), buffer, sizeof buffer, 0)) > 0) seen.append(buffer, n);
  std::string head = seen.substr(0, seen.find("\r\n"));
  const size_t end = seen.find("\r\n\r\n");
  for (size_t at = seen.find("\r\nAccess-Control-"); at < end; at = seen.find("\r\nAccess-Control-", at + 2))
    head += "; " + seen.substr(at + 2, seen.find("\r\n", at + 2) - at - 2);
  return head + (n == 0 ? ", closed" : ", kept open");
}

// `line` ("METHOD target") from the page https://127.0.0.1:8080, with `fields` each ending in CRLF.
std::string Request(unsigned port, const std::string& line, const std::string& fields) {
  return line + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nOrigin: https://127.0.0.1:8080\r\n" + fields + "\r\n";
}

std::string Upgrade(unsigned port, const std::string& target) {
  return Request(port, "GET " + target, "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n");
}

// Makes `calls` key-creating calls on one page: "made" for each the control
// served, the status and text of each the agent refused.
std::string MakeKeys(unsigned port, int calls) {
  Page page;
  if (page.Open(port) != 101) return "not admitted";
  std::string seen;
  for (int id = 1; id <= calls; ++id) {
    const json answer = page.Call(id, id % 2 ? "ZENQ_GetTempPublickey" : "zenq_pkcs10certrequisition",
                                  id % 2 ? json::array() : json{"CN=Quota", 1, 0});
    seen += Hr(answer) == "0x80070718" ? " " + Hr(answer) + " " + answer.value("description", "") : " made";
  }
  return seen.substr(1);
}

// A hostile page's or local process's attacks, each with the answer it must get.
TEST_F(AgentTest, AttacksGetTheirAnswers) {
  const struct { const char *attack, *options; std::function<std::string(AgentProcess&)> run; std::string expected; }
  kRows[] = {
      {"a slow request and 15 calls in one write", "",
       [](AgentProcess& a) {
         return Pipeline(a.port, 16, {{"method", "ZENQ_PKCS10CertRequisition"}, {"params", {"CN=Slow", 1, 0}}});
       },
       "16 answers in order"},
      {"a keep-alive preflight", "",
       [](AgentProcess& a) {
         return Raw(a.port, Request(a.port, "OPTIONS /", "Access-Control-Request-Private-Network: true\r\n"
                                                         "Connection: keep-alive\r\n"));
       },
       "HTTP/1.1 204 No Content; Access-Control-Allow-Private-Network: true; "
       "Access-Control-Allow-Origin: https://127.0.0.1:8080, closed"},
      {"a preflight not for the private network", "",
       [](AgentProcess& a) { return Raw(a.port, Request(a.port, "OPTIONS /", "")); },
       "HTTP/1.1 403 Forbidden, closed"},
      {"a fetch without an upgrade", "",
       [](AgentProcess& a) { return Raw(a.port, Request(a.port, "GET /", "")); },
       "HTTP/1.1 403 Forbidden, closed"},
      {"an absolute-form target", "",
       [](AgentProcess& a) { return Raw(a.port, Upgrade(a.port, "http://evil.example/")); },
       "HTTP/1.1 400 Bad Request, closed"},
      {"keys beyond the limit a minute", "--max-keys-per-minute 3",
       [](AgentProcess& a) { return MakeKeys(a.port, 4); },
       "made made made 0x80070718 This page has made too many keys in the last minute; wait and try "
       "again.\n(0x80070718)"},
      {"an idle page", "--idle-timeout 1",
       [](AgentProcess& a) {
         Page page;
         const std::string answered = page.Open(a.port) == 101 ? Hr(page.Call(1, "ZENQ_GetCSPInfo")) : "refused";
         const json closed = page.Read();  // nothing more is sent: the agent closes
         return answered + ", " + closed.value("error", "") + ", " + std::to_string(page.ws.reason().code);
       },
       "0x00000000, The WebSocket stream was gracefully closed at both endpoints, 1001"},  // going away
      {"200 refusals with 4,000-character texts", "",
       [this](AgentProcess& a) {
         const auto start = std::chrono::steady_clock::now();
         const std::string origin = "https://" + std::string(4000, 'o') + ".example", host(4000, 'h');
         for (int i = 0; i < 200; ++i) Page().Open(a.port, origin.c_str(), host);
         const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
         a.Stop();
         const Reported r = StderrRefusals();
         return std::to_string(r.written + r.counted) + " refusals" +
                (r.written > 10 * static_cast<size_t>(seconds.count() + 1) ? ", " + std::to_string(r.written) + " lines" : "") +
                (r.longest > 256 + 80 ? ", a line of " + std::to_string(r.longest) : "") +
                (ReadFile(trace_).size() > 200 * 600 ? ", a trace of " + std::to_string(ReadFile(trace_).size()) : "");
       },
       "200 refusals"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.attack);
    AgentProcess agent(row.options, err_);
    ASSERT_NE(agent.port, 0u);
    EXPECT_EQ(row.run(agent), row.expected);
    if (agent.pid > 0) {
      EXPECT_EQ(agent.Stop(), 0);  // a clean stop
    }
  }
}

// Another user's process sends a trusted page's handshake: refused before any
// control exists. Needs root to take the other user (CI runs as root).
TEST_F(AgentTest, RefusesConnectionsOfOtherUsers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  AgentProcess agent("", err_);
  std::ofstream(homes_.root() + "/request") << Upgrade(agent.port, "/");
  const std::string connect = "bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(agent.port) +
                              "; cat >&3; head -n 1 <&3' <" + homes_.root() + "/request";
  const struct { const char *as, *status; } kRows[] = {
      {"", "HTTP/1.1 101 Switching Protocols\r\n"},
      {"setpriv --reuid=65534 --regid=65534 --clear-groups ", "HTTP/1.1 403 Forbidden\r\n"},
  };
  for (const auto& row : kRows) {
    std::string out;
    EXPECT_EQ(RunCommand(row.as + connect, &out), 0) << row.as;
    EXPECT_EQ(out, row.status) << row.as;
  }
  EXPECT_EQ(agent.Stop(), 0);
  EXPECT_NE(ReadFile(err_).find("refused https://127.0.0.1:8080: the connecting process belongs to another user"),
            std::string::npos) << ReadFile(err_);
}

// Another process holds [::1] on the agent's port: the agent does not
// start, since a page that reaches "localhost" could meet the other one.
TEST_F(AgentTest, RefusesToStartUnlessItHoldsEveryLoopbackAddress) {
  net::io_context io;
  tcp::acceptor squatter(io);
  beast::error_code ec;
  squatter.open(tcp::v6(), ec);
  if (!ec) squatter.set_option(net::ip::v6_only(true), ec);
  if (!ec) squatter.bind(tcp::endpoint(net::ip::make_address("::1"), 0), ec);
  if (ec) GTEST_SKIP() << "no IPv6 loopback: " << ec.message();
  squatter.listen();
  const std::string port = std::to_string(squatter.local_endpoint().port());
  std::string out;
  EXPECT_EQ(RunCommand("timeout 10 " KEYLOOM_CLI_PATH " agent --port " + port + " 2>&1", &out), 1);
  EXPECT_EQ(out, "keyloom agent: cannot listen on every loopback address ([::1]:" + port +
                     ": Address already in use); not started\n");
}

}  // namespace
