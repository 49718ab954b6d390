// `keyloom call` end to end: the tool loads the module, creates a control
// through the class factory and prints one JSON line per call.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

std::string Cli(const std::string& env, const std::string& args, int* exitCode) {
  std::string out;
  *exitCode = RunCommand(env + " LC_ALL= LC_MESSAGES= " KEYLOOM_CLI_PATH " " + args, &out);
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

TEST(CliCall, SuccessTextOfAFreshControl) {
  ScopedSoftHomes homes;
  int code = -1;
  const std::string out = Cli("LANG=C", "call GetLastErrorDesc", &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out,
            "{\"method\":\"GetLastErrorDesc\",\"hr\":\"0x00000000\",\"result\":"
            "\"The operation completed successfully.\\r\\n\\n(0x00000000)\"}\n");
}

TEST(CliCall, RefusedAlgorithmInBothLanguages) {
  ScopedSoftHomes homes;
  int code = -1;
  std::vector<std::string> lines =
      Lines(Cli("LANG=en_US.UTF-8", "call ZENQ_SetKeyAlgorithm ECC -- GetLastErrorDesc", &code));
  EXPECT_EQ(code, 1);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "{\"method\":\"ZENQ_SetKeyAlgorithm\",\"hr\":\"0xa0072401\",\"result\":null}");
  EXPECT_EQ(lines[1],
            "{\"method\":\"GetLastErrorDesc\",\"hr\":\"0x00000000\",\"result\":"
            "\"Invalid key algorithm.\\n(0xa0072401)\"}");
  lines = Lines(Cli("LANG=zh_CN.UTF-8", "call ZENQ_SetKeyAlgorithm ECC -- GetLastErrorDesc", &code));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1],
            "{\"method\":\"GetLastErrorDesc\",\"hr\":\"0x00000000\",\"result\":"
            "\"无效的密钥算法\\n(0xa0072401)\"}");
}

TEST(CliCall, SelectionsPersistAcrossCallsOfOneControl) {
  ScopedSoftHomes homes;
  int code = -1;
  const std::vector<std::string> lines = Lines(Cli(
      "LANG=C",
      "call ZENQ_SetCSPInfo 1024 'Microsoft Base Cryptographic Provider v1.0' -- "
      "ZENQ_SetCSPInfo 2048 'Microsoft Base Cryptographic Provider v1.0' -- GetLastErrorDesc -- "
      "ZENQ_GetContainer -- GetLastErrorDesc",
      &code));
  EXPECT_EQ(code, 1);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "{\"method\":\"ZENQ_SetCSPInfo\",\"hr\":\"0x00000000\",\"result\":true}");
  EXPECT_EQ(lines[1], "{\"method\":\"ZENQ_SetCSPInfo\",\"hr\":\"0xa0072400\",\"result\":null}");
  EXPECT_NE(lines[2].find("Key length is not supported.\\n(0xa0072400)"), std::string::npos);
  EXPECT_EQ(lines[3], "{\"method\":\"ZENQ_GetContainer\",\"hr\":\"0x00000000\",\"result\":\"\"}");
  EXPECT_NE(lines[4].find("(0x00000000)"), std::string::npos);
}

TEST(CliCall, UsageErrorsExitWithTwo) {
  int code = -1;
  Cli("", "", &code);
  EXPECT_EQ(code, 2);
  Cli("", "call", &code);
  EXPECT_EQ(code, 2);
  Cli("", "call -- GetLastErrorDesc", &code);
  EXPECT_EQ(code, 2);
  Cli("", "frobnicate", &code);
  EXPECT_EQ(code, 2);
  const std::string help = Cli("", "--help", &code);
  EXPECT_EQ(code, 0);
  EXPECT_NE(help.find("call METHOD"), std::string::npos);
}

TEST(CliCall, UnknownMethodIsReportedAsAScriptEngineWould) {
  int code = -1;
  const std::string out = Cli("LANG=C", "call ZENQ_NoSuchMethod", &code);
  EXPECT_EQ(code, 1);
  EXPECT_EQ(out, "{\"method\":\"ZENQ_NoSuchMethod\",\"hr\":\"0x80020006\",\"result\":null}\n");
}

TEST(CliCall, TraceSinkWritesExactlyTheRefusal) {
  ScopedSoftHomes homes;
  const std::string file = homes.root() + "/trace.log";
  int code = -1;
  Cli("LANG=C KEYLOOM_TRACE=2 KEYLOOM_TRACE_FILE=" + file,
      "call ZENQ_SetKeyAlgorithm ECC -- ZENQ_SetKeyAlgorithm RSA", &code);
  const std::vector<std::string> lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"CCryptoAgent::ZENQ_SetKeyAlgorithm - key algorithm does not support.\" "
                          "0xa0072401"),
            std::string::npos)
      << lines[0];
}

TEST(CliCall, FunctionTraceHasAnExitForEveryEntry) {
  ScopedSoftHomes homes;
  const std::string file = homes.root() + "/trace.log";
  int code = -1;
  Cli("LANG=C KEYLOOM_TRACE=8 KEYLOOM_TRACE_FILE=" + file,
      "call ZENQ_SetKeyAlgorithm ECC -- ZENQ_SetCSPInfo 7 x -- GetLastErrorDesc -- ZENQ_GetContainer",
      &code);
  std::vector<std::string> open;
  size_t entries = 0;
  for (const std::string& line : Lines(ReadFile(file))) {
    const size_t quote = line.find('"');
    ASSERT_NE(quote, std::string::npos) << line;
    const std::string name = line.substr(quote);
    if (line.find("TraceHelper.10 FUNCTION") != std::string::npos) {
      open.push_back(name);
      ++entries;
    } else {
      ASSERT_NE(line.find("TraceHelper.11 FUNCTION"), std::string::npos) << line;
      ASSERT_FALSE(open.empty());
      EXPECT_EQ(open.back(), name);
      open.pop_back();
    }
  }
  EXPECT_TRUE(open.empty());
  EXPECT_GE(entries, 4u);
}

}  // namespace
