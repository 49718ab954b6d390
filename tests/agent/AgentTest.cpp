// `keyloom agent` over the wire: who is admitted at the handshake, how
// faulty messages are answered, the language of the texts, the idle close.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "agent/AgentHarness.h"
#include "support/TestSupport.h"

namespace {

using namespace agent_test;

// A registered user (the trusted sites hold http://127.0.0.1 and
// *.keyloom-bank.example) and an agent tracing its refusals.
struct AgentTest : ::testing::Test {
  void SetUp() override { ASSERT_EQ(RunCommand(KEYLOOM_CLI_PATH " regsvr -i:user", nullptr), 0); }
  size_t TraceLines(const char* text) {
    const std::string trace = ReadFile(trace_);
    size_t n = 0;
    for (size_t at = trace.find(text); at != std::string::npos; at = trace.find(text, at + 1)) ++n;
    return n;
  }
  ScopedSoftHomes homes_;
  ScopedEnv lang_{"LANG", "C"}, all_{"LC_ALL", nullptr}, messages_{"LC_MESSAGES", nullptr};
  std::string trace_ = homes_.root() + "/trace.log";
  ScopedEnv traceMask_{"KEYLOOM_TRACE", "9"}, traceFile_{"KEYLOOM_TRACE_FILE", trace_.c_str()};
};

TEST_F(AgentTest, AdmitsOnlyTrustedOriginsThatReachItByItsOwnAddress) {
  AgentProcess agent;
  ASSERT_NE(agent.port, 0u);
  const std::string port = std::to_string(agent.port);
  const struct {
    const char* origin;  // null: no Origin header
    std::string host;    // empty: 127.0.0.1:PORT
    int status;
  } kRows[] = {
      {"http://127.0.0.1:8080", "", 101},
      {"https://127.0.0.1", "localhost:" + port, 101},
      {"http://127.0.0.1:9", "[::1]:" + port, 101},
      {"https://www.keyloom-bank.example", "", 101},        // *.keyloom-bank.example
      {"http://127.0.0.1:8080", "evil.example:17443", 403},  // DNS rebinding
      {"http://127.0.0.1:8080", "evil.example:" + port, 403},
      {"http://127.0.0.1:8080", "127.0.0.1:1", 403},         // another port
      {"http://127.0.0.2:8080", "", 403},
      {"http://localhost:8080", "", 403},
      {"null", "", 403},
      {nullptr, "", 403},
      {"http://evil.example@127.0.0.1", "", 403},  // never the form a browser sends
      {"http://127.0.0.1:8080/page", "", 403},
      {"ftp://127.0.0.1", "", 403},
      {"https://keyloom-bank.example.evil.example", "", 403},
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
      EXPECT_EQ(TraceLines("Agent."), ++refused);  // each refusal traced
    }
  }
  // A control was made for each admitted page only (entry and exit records).
  EXPECT_EQ(TraceLines("DllGetClassObject"), 2u * 4u);
}

TEST_F(AgentTest, LimitsOpenConnectionsPerOriginAndInAll) {
  AgentProcess agent("--max-per-origin 2 --max-connections 3");
  const struct {
    const char* origin;
    int status;
  } kRows[] = {{"http://127.0.0.1:1", 101}, {"http://127.0.0.1:1", 101}, {"http://127.0.0.1:1", 429},
               {"http://127.0.0.1:2", 101}, {"http://127.0.0.1:2", 503}};
  std::vector<std::unique_ptr<Page>> open;
  for (const auto& row : kRows) {
    open.push_back(std::make_unique<Page>());
    EXPECT_EQ(open.back()->Open(agent.port, row.origin), row.status) << row.origin;
  }
  open.front()->ws.close(websocket::close_code::normal);  // a place of the first origin comes free
  open.front()->Read();
  Page again;
  EXPECT_EQ(again.Open(agent.port, "http://127.0.0.1:1"), 101);
}

TEST_F(AgentTest, AnswersPreflightsAndFetchesOfAdmittedOriginsOnly) {
  AgentProcess agent;
  const struct {
    http::verb verb;
    const char* origin;
    const char* host;
    bool privateNetwork;
    unsigned status;
  } kRows[] = {
      {http::verb::options, "http://127.0.0.1:8080", "", true, 204},
      {http::verb::options, "http://127.0.0.2:8080", "", true, 403},
      {http::verb::options, "http://127.0.0.1:8080", "evil.example:17443", true, 403},
      {http::verb::options, "http://127.0.0.1:8080", "", false, 403},
      {http::verb::get, "http://127.0.0.2:8080", "", false, 403},  // a cross-origin fetch
      {http::verb::get, "http://127.0.0.1:8080", "", false, 403},  // no upgrade, no data
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::string(row.origin) + " " + row.host);
    const auto response = Fetch(agent.port, row.verb, row.origin, row.host, row.privateNetwork);
    EXPECT_EQ(response.result_int(), row.status);
    const bool allowed = row.status == 204;
    EXPECT_EQ(std::string(response[http::field::access_control_allow_origin]), allowed ? row.origin : "");
    EXPECT_EQ(std::string(response["Access-Control-Allow-Private-Network"]), allowed ? "true" : "");
    EXPECT_EQ(response.body().find("CSP"), std::string::npos);
  }
}

TEST_F(AgentTest, FaultyMessagesAreAnsweredAndTheConnectionServesOn) {
  AgentProcess agent;
  Page page;
  ASSERT_EQ(page.Open(agent.port), 101);
  const std::string big = R"({"id":1,"method":"ZENQ_GetCSPInfo","params":[")" + std::string(2u << 20, 'A') + "\"]}";
  const struct {
    std::string message;  // "binary": a binary frame
    json id;
    const char* hr;
  } kRows[] = {
      {R"({"id":1,"method":"ZENQ_GetCSPInfo","params":[)", nullptr, "0x80070057"},  // truncated
      {"[1,2]", nullptr, "0x80070057"},
      {R"({"id":"2","method":"ZENQ_GetCSPInfo","params":[]})", nullptr, "0x80070057"},
      {R"({"id":3,"method":7,"params":[]})", 3, "0x80070057"},
      {R"({"id":4,"method":"ZENQ_GetCSPInfo","params":"none"})", 4, "0x80070057"},
      {R"({"id":5,"method":"ZENQ_SetCSPInfo","params":[1e400,"x"]})", nullptr, "0x80070057"},  // not a double
      {R"({"id":6,"method":"ZENQ_SetCSPInfo","params":[1e20,"x"]})", 6, "0x8002000a"},  // DISP_E_OVERFLOW
      {R"({"id":7,"method":"ZENQ_SetCSPInfo","params":["big","x"]})", 7, "0x80020005"},
      {R"({"id":8,"method":"ZENQ_SetCSPInfo","params":[{},"x"]})", 8, "0x80020005"},
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

TEST_F(AgentTest, DescriptionsFollowThePagesLanguage) {
  AgentProcess agent;
  const struct {
    const char* language;
    const char* control;  // the control's own failure
    const char* agent;    // the agent's own fault
  } kRows[] = {
      {"", "Invalid key algorithm.\n(0xa0072401)", "The control has no method of this name.\n(0x80020006)"},
      {"en-US,en;q=0.9", "Invalid key algorithm.\n(0xa0072401)", "The control has no method of this name.\n(0x80020006)"},
      {"zh-TW,zh-Hant;q=0.9", "Invalid key algorithm.\n(0xa0072401)", "The control has no method of this name.\n(0x80020006)"},
      {"zh-CN,zh;q=0.9,en;q=0.8", "无效的密钥算法\n(0xa0072401)", "控件没有此名称的方法。\n(0x80020006)"},
      {"fr-FR, en;q=0.5, zh-Hans;q=0.8", "无效的密钥算法\n(0xa0072401)", "控件没有此名称的方法。\n(0x80020006)"},
      {"zh-SG;q=0, en;q=0.1", "Invalid key algorithm.\n(0xa0072401)", "The control has no method of this name.\n(0x80020006)"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.language);
    Page page;
    ASSERT_EQ(page.Open(agent.port, "http://127.0.0.1:8080", "", row.language), 101);
    const json failed = page.Call(1, "ZENQ_SetKeyAlgorithm", {"ECC"});
    EXPECT_EQ(Hr(failed), "0xa0072401");
    EXPECT_EQ(failed.value("description", std::string()), row.control);
    EXPECT_EQ(page.Call(2, "ZENQ_Unknown").value("description", std::string()), row.agent);
  }
}

TEST_F(AgentTest, IdleConnectionsCloseAndTheAgentStopsCleanly) {
  AgentProcess agent("--idle-timeout 1");
  Page page;
  ASSERT_EQ(page.Open(agent.port), 101);
  EXPECT_EQ(Hr(page.Call(1, "ZENQ_GetCSPInfo")), "0x00000000");
  const json closed = page.Read();  // nothing more is sent: the agent closes
  EXPECT_EQ(closed.value("error", std::string()), "The WebSocket stream was gracefully closed at both endpoints");
  EXPECT_EQ(page.ws.reason().code, websocket::close_code::going_away);
  EXPECT_EQ(agent.Stop(), 0);
}

}  // namespace
