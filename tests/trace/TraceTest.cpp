// The trace facility over a recording sink: which records are written for
// which flags, their arguments, and that tracing keeps the last error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Platform.h"
#include "support/AgentFixture.h"
#include "support/TraceRecorder.h"
#include "trace/Trace.h"

namespace {

using RecordingTrace = ScopedTraceRecorder;
std::vector<RecordedTrace>& Records() { return ScopedTraceRecorder::records(); }

// ZENQ_SetKeyAlgorithm of `name` on a new control ("ECC" is refused).
HRESULT SetKeyAlgorithm(const char16_t* name) {
  AgentRef agent;
  Bstr algorithm(name);
  VARIANT_BOOL ok;
  return agent->ZENQ_SetKeyAlgorithm(algorithm, &ok);
}

// (The step-error flag alone: CliCall.TraceSinkWritesExactlyTheRefusal.)
TEST(Trace, InfoRecordsEachPassedStepWithStatusZero) {
  RecordingTrace trace(TRACE_FLAG_INFO);
  SetKeyAlgorithm(u"RSA");
  std::vector<std::string> steps;
  for (const RecordedTrace& r : Records())
    if (r.message == 14) steps.push_back(r.args[0] + " " + r.args[1]);
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[1], "CCryptoAgent::ZENQ_SetKeyAlgorithm - key algorithm. 0x00000000");
}

TEST(Trace, EveryEntryHasItsExitAlsoOnFailure) {
  RecordingTrace trace(TRACE_FLAG_FUNCTION);
  {
    AgentRef agent;
    Bstr ecc(u"ECC");
    VARIANT_BOOL ok;
    agent->ZENQ_SetKeyAlgorithm(ecc, &ok);
  }
  std::vector<std::string> open;
  for (const RecordedTrace& r : Records()) {
    ASSERT_EQ(r.flag, TRACE_FLAG_FUNCTION);
    if (r.message == 10) {
      open.push_back(r.args[0]);
    } else {
      ASSERT_EQ(r.message, 11);
      ASSERT_FALSE(open.empty());
      EXPECT_EQ(open.back(), r.args[0]);
      open.pop_back();
    }
  }
  EXPECT_TRUE(open.empty());
  EXPECT_EQ(Records().size(), 2u);
}

TEST(Trace, NullAndEmptyWideStringsAndByteLengths) {
  RecordingTrace trace(TRACE_FLAG_INFO | TRACE_FLAG_FAILURE);
  static const TraceComponent kComponent = {TraceComponentGuid("Test"), "Test"};
  const char16_t* none = nullptr;
  const char* noneAnsi = nullptr;
  const uint32_t number = 0x1234;
  TraceWrite(kComponent, 1, TRACE_FLAG_INFO, {none, u"", noneAnsi, number, u"ab"});
  ASSERT_EQ(Records().size(), 1u);
  EXPECT_EQ(Records()[0].args, (std::vector<std::string>{"NULL", "<NULL>", "NULL", "0x00001234", "ab"}));
  // Wide strings count their terminator: "NULL" 10 bytes, "<NULL>" 14;
  // 8-bit "NULL" 5; numbers 4.
  EXPECT_EQ(Records()[0].sizes, (std::vector<uint32_t>{10, 14, 5, 4, 6}));
}

TEST(Trace, LastErrorSurvivesEveryRecord) {
  RecordingTrace trace(0xF);
  Plat().SetLastError(0x80090016);
  { TraceHelper scope("Scope"); }
  const std::u16string longStep(600, u'y');  // its text is cut to 511 characters
  TraceStep(u"Function", longStep.c_str(), E_FAIL);
  TraceStep(u"F", u"step", S_OK);
  EXPECT_EQ(Plat().GetLastError(), 0x80090016u);
  ASSERT_EQ(Records().size(), 4u);
  EXPECT_EQ(Records()[2].args[0].size(), 511u);
  EXPECT_EQ(Records()[2].args[0].substr(0, 11), "Function - ");
}

}  // namespace
