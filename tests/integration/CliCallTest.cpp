// `keyloom call` end to end: the tool loads the module, creates a control
// through the class factory and prints one JSON line per call.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/TestSupport.h"

namespace {

// The tool's exit code; *out gets what it printed on stdout.
int Cli(const std::string& env, const std::string& args, std::string* out = nullptr) {
  return RunCommand(env + " LC_ALL= LC_MESSAGES= " KEYLOOM_CLI_PATH " " + args, out);
}

#define OK_LINE(method, result) "{\"method\":\"" method "\",\"hr\":\"0x00000000\",\"result\":" result "}\n"
#define ERROR_DESC(text) OK_LINE("GetLastErrorDesc", "\"" text "\"")
#define SUCCESS_DESC ERROR_DESC("The operation completed successfully.\\r\\n\\n(0x00000000)")

TEST(CliCall, PrintsOneLinePerCallAndExitsWithTheWorstOutcome) {
  const char kRefused[] = "call ZENQ_SetKeyAlgorithm ECC -- GetLastErrorDesc";
  const char kRefusedLine[] =
      "{\"method\":\"ZENQ_SetKeyAlgorithm\",\"hr\":\"0xa0072401\",\"result\":null}\n";
  const char kBase[] = "'Microsoft Base Cryptographic Provider v1.0'";
  const struct {
    std::string env, args;
    int code;
    std::string out;
  } kRows[] = {
      {"LANG=C", "call GetLastErrorDesc", 0, SUCCESS_DESC},
      {"LANG=en_US.UTF-8", kRefused, 1, kRefusedLine + std::string(ERROR_DESC("Invalid key algorithm.\\n(0xa0072401)"))},
      {"LANG=zh_CN.UTF-8", kRefused, 1, kRefusedLine + std::string(ERROR_DESC("无效的密钥算法\\n(0xa0072401)"))},
      // Selections persist across the calls of one control.
      {"LANG=C",
       std::string("call ZENQ_SetCSPInfo 1024 ") + kBase + " -- ZENQ_SetCSPInfo 2048 " + kBase +
           " -- GetLastErrorDesc -- ZENQ_GetContainer -- GetLastErrorDesc",
       1,
       OK_LINE("ZENQ_SetCSPInfo", "true")
       "{\"method\":\"ZENQ_SetCSPInfo\",\"hr\":\"0xa0072400\",\"result\":null}\n"
       ERROR_DESC("Key length is not supported.\\n(0xa0072400)")
       OK_LINE("ZENQ_GetContainer", "\"\"") SUCCESS_DESC},
      // An unknown method is reported as a script engine would.
      {"LANG=C", "call ZENQ_NoSuchMethod", 1,
       "{\"method\":\"ZENQ_NoSuchMethod\",\"hr\":\"0x80020006\",\"result\":null}\n"},
      {"", "", 2, ""},
      {"", "call", 2, ""},
      {"", "call -- GetLastErrorDesc", 2, ""},
      {"", "frobnicate", 2, ""},
  };
  for (const auto& row : kRows) {
    ScopedSoftHomes homes;
    std::string out;
    EXPECT_EQ(row.code, Cli(row.env, row.args, &out)) << row.args;
    EXPECT_EQ(row.out, out) << row.args;
  }
  std::string help;
  EXPECT_EQ(0, Cli("", "--help", &help));
  EXPECT_NE(help.find("call METHOD"), std::string::npos);
}

// The module's trace sink, switched on by the environment, writes exactly
// the one refusal (entry and exit pairs: TraceTest).
TEST(CliCall, TraceSinkWritesExactlyTheRefusal) {
  ScopedSoftHomes homes;
  const std::string file = homes.root() + "/trace.log";
  Cli("LANG=C KEYLOOM_TRACE=2 KEYLOOM_TRACE_FILE=" + file,
      "call ZENQ_SetKeyAlgorithm ECC -- ZENQ_SetKeyAlgorithm RSA");
  const std::string trace = ReadFile(file);
  EXPECT_EQ(1, std::count(trace.begin(), trace.end(), '\n')) << trace;
  EXPECT_NE(trace.find("\"CCryptoAgent::ZENQ_SetKeyAlgorithm - key algorithm does not support.\" "
                       "0xa0072401\n"),
            std::string::npos)
      << trace;
}

}  // namespace
