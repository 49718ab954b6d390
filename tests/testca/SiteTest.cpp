// The demo site's answers to what a browser or a stranger may send. The
// enrollments themselves run in Chromium (tests/browser).
#include <gtest/gtest.h>

#include <string>

#include "testca/Site.h"

namespace {

using testca::SiteRequest;

TEST(Site, LoopbackHosts) {
  const struct {
    const char* host;
    bool loopback;
  } rows[] = {
      {"127.0.0.1:8080", true},          {"127.0.0.2", true},
      {"127.255.3.4:1", true},           {"[::1]:17443", true},
      {"LocalHost:80", true},            {"localhost.evil.example", false},
      {"127.0.0.1.nip.io:80", false},    {"evil.example:17443", false},
      {"128.0.0.1", false},              {"127.0.0.1:80x", false},
      {"127.0.0.1:", false},             {"[::1", false},
      {"[::2]:80", false},               {"0x7f.0.0.1", false},
      {"", false},
  };
  for (const auto& row : rows) EXPECT_EQ(row.loopback, testca::IsLoopbackHost(row.host)) << row.host;
}

TEST(Site, AnswersAndRefusals) {
  const testca::Site site{"/nonexistent-hierarchy", KEYLOOM_SOURCE_DIR "/web"};
  const std::string big(testca::kSiteBodyLimit + 1, ' ');
  const struct {
    SiteRequest request;  // method, target, host, content type, body
    int status;
    const char* inBody;  // a text the answer's body holds
  } rows[] = {
      {{"GET", "/?agent=17443", "127.0.0.1:8080", "", ""}, 200, "<!doctype html>"},
      {{"HEAD", "/keyloom.js", "localhost:8080", "", ""}, 200, ""},
      {{"GET", "/", "evil.example:8080", "", ""}, 403, "loopback names only"},
      {{"GET", "/", "", "", ""}, 403, "loopback names only"},
      {{"GET", "/../CMakeLists.txt", "127.0.0.1", "", ""}, 404, "no such page"},
      {{"GET", "/demo/app.js", "127.0.0.1", "", ""}, 404, "no such page"},
      {{"POST", "/app.js", "127.0.0.1", "application/json", "{}"}, 405, "GET"},
      {{"GET", "/api/issue", "127.0.0.1", "", ""}, 405, "POST"},
      {{"POST", "/api/issue", "127.0.0.1", "text/plain", "{}"}, 415, "application/json"},
      // a form a foreign page may post without asking first
      {{"POST", "/api/issue", "127.0.0.1", "application/x-www-form-urlencoded", "request=MAA="}, 415, ""},
      {{"POST", "/api/issue", "127.0.0.1", "application/json", big}, 413, "too large"},
      {{"POST", "/api/issue", "127.0.0.1", "application/json", "{\"request\":"}, 400, "JSON object"},
      {{"POST", "/api/issue", "127.0.0.1", "application/json", "[\"MAA=\"]"}, 400, "JSON object"},
      {{"POST", "/api/issue", "127.0.0.1", "application/json", "{\"request\":5}"}, 400, "\\\"request\\\""},
      {{"POST", "/api/issue", "127.0.0.1", "application/json; charset=utf-8", "{\"request\":\"\"}"}, 400, "non-empty"},
      // SEQUENCE {} is no request
      {{"POST", "/api/issue", "127.0.0.1", "application/json", "{\"request\":\"MAA=\"}"}, 422, "error"},
      {{"POST", "/api/envelope", "127.0.0.1", "application/json", "{\"algorithm\":\"DSA\",\"bits\":1024,\"request\":\"MAA=\"}"}, 400, "RSA"},
      {{"POST", "/api/envelope", "127.0.0.1", "application/json", "{\"algorithm\":\"RSA\",\"bits\":\"2048\",\"request\":\"MAA=\"}"}, 400, "bits"},
      {{"POST", "/api/envelope", "127.0.0.1", "application/json", "{\"algorithm\":\"SM2\",\"bits\":256.5,\"request\":\"MAA=\"}"}, 400, "bits"},
      // longer keys than the control makes would keep the site busy for minutes
      {{"POST", "/api/envelope", "127.0.0.1", "application/json", "{\"algorithm\":\"RSA\",\"bits\":8192,\"request\":\"MAA=\"}"}, 400, "4096"},
      {{"POST", "/api/envelope", "127.0.0.1", "application/json", "{\"algorithm\":\"SM2\",\"bits\":256,\"request\":\"MAA=\"}"}, 422, "error"},
  };
  for (const auto& row : rows) {
    const testca::SiteResponse answer = testca::AnswerSite(site, row.request);
    SCOPED_TRACE(row.request.method + " " + row.request.target + " " + row.request.body.substr(0, 60));
    EXPECT_EQ(row.status, answer.status);
    EXPECT_NE(std::string::npos, answer.body.find(row.inBody)) << answer.body.substr(0, 200);
    bool noStore = false, policy = false;
    for (const auto& [name, value] : answer.headers) {
      noStore |= name == "Cache-Control" && value == "no-store";
      policy |= name == "Content-Security-Policy" && value.find("script-src 'self'") != std::string::npos &&
                value.find("connect-src 'self' ws://127.0.0.1:*;") != std::string::npos &&
                value.find("localhost") == std::string::npos;  // a name another user's program may answer
      EXPECT_NE(0u, name.rfind("Access-Control-", 0)) << "no CORS header: " << name;
    }
    EXPECT_TRUE(noStore);
    EXPECT_EQ(answer.contentType.rfind("text/html", 0) == 0, policy);
  }
}

}  // namespace
