// The steps that composing a subject and an SM2 signature records, as a
// trace consumer sees them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoding/Buffer.h"
#include "encoding/DerEncoder.h"
#include "request/SubjectName.h"
#include "support/DerTestSupport.h"
#include "support/TestSupport.h"
#include "trace/Trace.h"

namespace {

std::vector<std::string> g_steps;

// A consumer with every flag enabled that keeps the step records
// ("text = status") and the function entries (">name").
class ScopedTraceConsumer {
 public:
  ScopedTraceConsumer() {
    g_steps.clear();
    platform_.table.TraceRegister = [](const GUID*, TraceProviderState* state) {
      state->consumerHandle = 1;
      state->enableFlags = 0xF;
    };
    platform_.table.TraceUnregister = [](TraceProviderState*) {};
    platform_.table.TraceWrite = [](const TraceProviderState*, const TraceRecord* r) {
      if (std::string(r->componentName) != "TraceHelper") return;
      if (r->messageNumber == 10) {
        std::string entry(">");
        entry.append(static_cast<const char*>(r->args[0].data));
        g_steps.push_back(entry);
      } else if (r->messageNumber == 13 || r->messageNumber == 14) {
        char status[16];
        std::snprintf(status, sizeof status, "%08X",
                      *static_cast<const uint32_t*>(r->args[1].data));
        std::string step = Narrow(static_cast<const char16_t*>(r->args[0].data));
        step.append(" = ").append(status);
        g_steps.push_back(step);
      }
    };
    TraceShutdown();
    TraceInitialize();
  }
  ~ScopedTraceConsumer() { TraceShutdown(); }

 private:
  ScopedPlatform platform_;
};

bool Has(const std::string& step) {
  for (const std::string& s : g_steps)
    if (s == step) return true;
  return false;
}

TEST(TraceSteps, SubjectComposition) {
  ScopedTraceConsumer consumer;
  const Produced p =
      Produce([](BYTE** o, DWORD* l) { return ComposeSubject(u"CN=Test,C=CN", o, l); });
  ASSERT_EQ(p.status, S_OK);
  for (const char* step :
       {">ComposeSubject", ">ParseSubject", ">ComposeSubjectChild",
        "ParseSubject - SplidWstr-Subject = 00000000", "ParseSubject - SplidWstr-Pair = 00000000",
        "ComposeSubjectChild - UTF16ToUTF8(CountryName) = 00000000",
        "ComposeSubjectChild - ComposeAnyString(CountryName) = 00000000",
        "ComposeSubjectChild - ComposeAnyString = 00000000",
        "ComposeSubjectChild - ComposeSpecialAttribute = 00000000",
        "ComposeSpecialAttribute - DecodeASN1Memory = 00000000",
        "ComposeSpecialAttribute - ASN1Encode-Sequence = 00000000",
        "EncodeObject - CryptEncodeObject - get length = 00000000",
        "EncodeObject - CryptEncodeObject - get value = 00000000",
        "ComposeSubject - ComposeSubjectChild = 00000000",
        "ComposeSubject - ASN1Encode = 00000000"})
    EXPECT_TRUE(Has(step)) << step;
}

TEST(TraceSteps, SubjectFailures) {
  ScopedTraceConsumer consumer;
  Produce([](BYTE** o, DWORD* l) { return ComposeSubject(u"CN=a,b", o, l); });
  EXPECT_TRUE(Has("ParseSubject - SplidWstr-Pair = 80090005"));
  EXPECT_TRUE(Has("ComposeSubject - ParseSubject = 80090005"));
  g_steps.clear();
  Produce([](BYTE** o, DWORD* l) { return ComposeSubject(u"C=C*", o, l); });
  EXPECT_TRUE(Has("ComposeSubjectChild - ComposeAnyString(CountryName) = 80092021"));
  g_steps.clear();
  Produce([](BYTE** o, DWORD* l) { return ComposeSubject(u"X=1", o, l); });
  EXPECT_TRUE(Has("GetObjectID - X = 80090011"));
  EXPECT_TRUE(Has("EncodeObject - CryptEncodeObject - get length = 80092003"));
}

TEST(TraceSteps, SM2SignatureSteps) {
  ScopedTraceConsumer consumer;
  Bytes raw(64, 0x11);
  raw[0] = 0x80;   // r gains a 0x00
  raw[32] = 0x00;  // s loses its leading zero
  Produce([&](BYTE** o, DWORD* l) { return SM2EncodeRawSignature(raw.data(), 64, o, l); });
  EXPECT_TRUE(Has("SM2EncodeRawSignature - Check SM2 raw signature size = 00000000"));
  EXPECT_TRUE(Has("SM2EncodeRawSignature - ASN1Encode(1) = 00000000"));
  EXPECT_TRUE(Has("SM2EncodeRawSignature - ASN1Encode(4) = 00000000"));
  EXPECT_TRUE(Has("SM2EncodeRawSignature - ASN1Encode(5) = 00000000"));
  g_steps.clear();
  Produce([&](BYTE** o, DWORD* l) { return SM2EncodeRawSignature(raw.data(), 63, o, l); });
  EXPECT_TRUE(Has("SM2EncodeRawSignature - Check SM2 raw signature size = 8007000D"));
}

}  // namespace
