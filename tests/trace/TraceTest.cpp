// The trace facility over a recording sink: which records are written for
// which flags, their arguments, and that tracing never disturbs the caller.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/Platform.h"
#include "encoding/Unicode.h"
#include "support/AgentFixture.h"
#include "trace/Trace.h"

namespace {

struct Recorded {
  std::string component;
  uint16_t message;
  uint32_t flag;
  std::vector<std::string> args;  // texts, or numbers as 0x%08x
  std::vector<uint32_t> sizes;
};

std::vector<Recorded> g_records;
uint32_t g_mask = 0;

void RecordingRegister(const GUID*, TraceProviderState* state) {
  state->consumerHandle = 1;
  state->enableFlags = g_mask;
}
void RecordingUnregister(TraceProviderState* state) { *state = TraceProviderState{}; }
void RecordingWrite(const TraceProviderState*, const TraceRecord* r) {
  Recorded rec{r->componentName, r->messageNumber, r->flag, {}, {}};
  for (uint32_t i = 0; i < r->argCount; ++i) {
    const TraceArg& a = r->args[i];
    rec.sizes.push_back(a.size);
    if (a.kind == kTraceWide)
      rec.args.push_back(Utf16ToUtf8(static_cast<const char16_t*>(a.data)));
    else if (a.kind == kTraceAnsi)
      rec.args.push_back(static_cast<const char*>(a.data));
    else {
      char n[16];
      snprintf(n, sizeof n, "0x%08x", *static_cast<const uint32_t*>(a.data));
      rec.args.push_back(n);
    }
  }
  g_records.push_back(rec);
  // A sink that disturbs the last error must not be seen by the caller.
  Plat().SetLastError(0xDEAD);
}

// Installs the recording sink with `mask` for the test's scope.
class RecordingTrace {
 public:
  explicit RecordingTrace(uint32_t mask) {
    g_records.clear();
    g_mask = mask;
    table_ = DefaultPlatform();
    table_.TraceRegister = &RecordingRegister;
    table_.TraceUnregister = &RecordingUnregister;
    table_.TraceWrite = &RecordingWrite;
    previous_ = SetPlatform(&table_);
    TraceShutdown();
    TraceInitialize();
  }
  ~RecordingTrace() {
    TraceShutdown();
    SetPlatform(previous_);
  }

 private:
  Platform table_;
  const Platform* previous_;
};

TEST(Trace, StepErrorOnlyRecordsTheRefusalOnce) {
  RecordingTrace trace(TRACE_FLAG_STEP_ERROR);
  AgentRef agent;
  Bstr ecc(u"ECC"), rsa(u"RSA");
  VARIANT_BOOL ok;
  agent->ZENQ_SetKeyAlgorithm(ecc, &ok);
  agent->ZENQ_SetKeyAlgorithm(rsa, &ok);
  ASSERT_EQ(g_records.size(), 1u);
  EXPECT_EQ(g_records[0].message, 13);
  EXPECT_EQ(g_records[0].flag, TRACE_FLAG_STEP_ERROR);
  EXPECT_EQ(g_records[0].args, (std::vector<std::string>{
                                   "CCryptoAgent::ZENQ_SetKeyAlgorithm - key algorithm does not support.",
                                   "0xa0072401"}));
}

TEST(Trace, InfoRecordsEachPassedStepWithStatusZero) {
  RecordingTrace trace(TRACE_FLAG_INFO);
  AgentRef agent;
  Bstr rsa(u"RSA");
  VARIANT_BOOL ok;
  agent->ZENQ_SetKeyAlgorithm(rsa, &ok);
  std::vector<std::string> steps;
  for (const Recorded& r : g_records)
    if (r.message == 14) steps.push_back(r.args[0] + " " + r.args[1]);
  EXPECT_EQ(steps, (std::vector<std::string>{
                       "CCryptoAgent::ZENQ_SetKeyAlgorithm - Invalid parameter. 0x00000000",
                       "CCryptoAgent::ZENQ_SetKeyAlgorithm - key algorithm. 0x00000000",
                       "CCryptoAgent::ZENQ_SetKeyAlgorithm - key algorithm does not support. 0x00000000"}));
}

TEST(Trace, EveryEntryHasItsExitAlsoOnFailure) {
  RecordingTrace trace(TRACE_FLAG_FUNCTION);
  {
    AgentRef agent;
    Bstr ecc(u"ECC"), empty(u"");
    VARIANT_BOOL ok;
    agent->ZENQ_SetKeyAlgorithm(ecc, &ok);
    agent->ZENQ_SetCSPInfo(1, empty, &ok);
    BstrHolder text;
    agent->GetLastErrorDesc(text.out());
  }
  std::vector<std::string> open;
  for (const Recorded& r : g_records) {
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
  EXPECT_EQ(g_records.size(), 6u);
}

TEST(Trace, NullAndEmptyWideStringsAndByteLengths) {
  RecordingTrace trace(TRACE_FLAG_INFO | TRACE_FLAG_FAILURE);
  static const TraceComponent kComponent = {TraceComponentGuid("Test"), "Test"};
  const char16_t* none = nullptr;
  const char* noneAnsi = nullptr;
  const uint32_t number = 0x1234;
  TraceWrite(kComponent, 1, TRACE_FLAG_INFO, {none, u"", noneAnsi, number, u"ab"});
  ASSERT_EQ(g_records.size(), 1u);
  EXPECT_EQ(g_records[0].args, (std::vector<std::string>{"NULL", "<NULL>", "NULL", "0x00001234", "ab"}));
  // Wide strings count their terminator: "NULL" 10 bytes, "<NULL>" 14;
  // 8-bit "NULL" 5; numbers 4.
  EXPECT_EQ(g_records[0].sizes, (std::vector<uint32_t>{10, 14, 5, 4, 6}));
}

TEST(Trace, LastErrorSurvivesEveryRecord) {
  RecordingTrace trace(0xF);
  Plat().SetLastError(0x80090016);
  { TraceHelper scope("Scope"); }
  TraceStep(u"F", u"step", E_FAIL);
  TraceStep(u"F", u"step", S_OK);
  EXPECT_EQ(Plat().GetLastError(), 0x80090016u);
  EXPECT_EQ(g_records.size(), 4u);
}

TEST(Trace, StepTextIsCutTo511Characters) {
  RecordingTrace trace(TRACE_FLAG_STEP_ERROR);
  const std::u16string longStep(600, u'y');
  TraceStep(u"Function", longStep.c_str(), E_FAIL);
  ASSERT_EQ(g_records.size(), 1u);
  EXPECT_EQ(g_records[0].args[0].size(), 511u);
  EXPECT_EQ(g_records[0].args[0].substr(0, 11), "Function - ");
}

TEST(Trace, NothingIsWrittenWithoutAConsumer) {
  RecordingTrace trace(0);
  AgentRef agent;
  Bstr ecc(u"ECC");
  VARIANT_BOOL ok;
  EXPECT_EQ(agent->ZENQ_SetKeyAlgorithm(ecc, &ok), static_cast<HRESULT>(0xA0072401));
  EXPECT_TRUE(g_records.empty());
  TraceShutdown();  // not initialized: still nothing
  TraceStep(u"F", u"x", E_FAIL);
  EXPECT_TRUE(g_records.empty());
}

}  // namespace
