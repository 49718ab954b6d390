// The documented step texts, one row per traced operation: composing a
// subject (the function entry and its last step) and an SM2 signature's
// size check with its status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoding/DerEncoder.h"
#include "request/SubjectName.h"
#include "support/DerTestSupport.h"
#include "support/TraceRecorder.h"

namespace {

// Whether a step record ("text = status", status in lower-case hexadecimal)
// or a function entry (">name") of the TraceHelper was recorded.
bool Has(const std::string& step) {
  for (const RecordedTrace& r : ScopedTraceRecorder::records()) {
    if (r.component != "TraceHelper") continue;
    std::string seen;
    if (r.message == 10) {
      seen = ">" + r.args[0];
    } else if (r.message == 13 || r.message == 14) {
      seen = r.args[0] + " = " + r.args[1].substr(2);
    }
    if (seen == step) return true;
  }
  return false;
}

TEST(TraceSteps, StepsOfSubjectsAndSm2Signatures) {
  const struct {
    const char16_t* subject;  // null: an SM2 signature of `length` octets
    DWORD length;
    std::vector<const char*> steps;
  } rows[] = {
      {u"CN=Test,C=CN", 0, {">ComposeSubject", "ComposeSubject - ASN1Encode = 00000000"}},
      {nullptr, 63, {"SM2EncodeRawSignature - Check SM2 raw signature size = 8007000d"}},
  };
  const Bytes raw(64, 0x11);
  for (const auto& row : rows) {
    ScopedTraceRecorder consumer(0xF);
    Produce([&](BYTE** o, DWORD* l) {
      return row.subject ? ComposeSubject(row.subject, o, l)
                         : SM2EncodeRawSignature(ByteView(raw).first(row.length), o, l);
    });
    for (const char* step : row.steps) EXPECT_TRUE(Has(step)) << step;
  }
}

}  // namespace
