// The steps that composing a subject and an SM2 signature records, as a
// trace consumer sees them.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "encoding/Buffer.h"
#include "encoding/DerEncoder.h"
#include "request/SubjectName.h"
#include "support/DerTestSupport.h"
#include "support/TraceRecorder.h"
#include "trace/Trace.h"

namespace {

// Whether a step record ("text = status", status in upper-case hexadecimal)
// or a function entry (">name") of the TraceHelper was recorded.
bool Has(const std::string& step) {
  for (const RecordedTrace& r : ScopedTraceRecorder::records()) {
    if (r.component != "TraceHelper") continue;
    std::string seen;
    if (r.message == 10) {
      seen = ">" + r.args[0];
    } else if (r.message == 13 || r.message == 14) {
      seen = r.args[0] + " = " + r.args[1].substr(2);
      for (size_t i = seen.size() - 8; i < seen.size(); ++i)
        seen[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(seen[i])));
    }
    if (seen == step) return true;
  }
  return false;
}

TEST(TraceSteps, SubjectComposition) {
  ScopedTraceRecorder consumer(0xF);
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
  ScopedTraceRecorder consumer(0xF);
  Produce([](BYTE** o, DWORD* l) { return ComposeSubject(u"CN=a,b", o, l); });
  EXPECT_TRUE(Has("ParseSubject - SplidWstr-Pair = 80090005"));
  EXPECT_TRUE(Has("ComposeSubject - ParseSubject = 80090005"));
  ScopedTraceRecorder::records().clear();
  Produce([](BYTE** o, DWORD* l) { return ComposeSubject(u"C=C*", o, l); });
  EXPECT_TRUE(Has("ComposeSubjectChild - ComposeAnyString(CountryName) = 80092021"));
  ScopedTraceRecorder::records().clear();
  Produce([](BYTE** o, DWORD* l) { return ComposeSubject(u"X=1", o, l); });
  EXPECT_TRUE(Has("GetObjectID - X = 80090011"));
  EXPECT_TRUE(Has("EncodeObject - CryptEncodeObject - get length = 80092003"));
}

TEST(TraceSteps, SM2SignatureSteps) {
  ScopedTraceRecorder consumer(0xF);
  Bytes raw(64, 0x11);
  raw[0] = 0x80;   // r gains a 0x00
  raw[32] = 0x00;  // s loses its leading zero
  Produce([&](BYTE** o, DWORD* l) { return SM2EncodeRawSignature(raw, o, l); });
  EXPECT_TRUE(Has("SM2EncodeRawSignature - Check SM2 raw signature size = 00000000"));
  EXPECT_TRUE(Has("SM2EncodeRawSignature - ASN1Encode(1) = 00000000"));
  EXPECT_TRUE(Has("SM2EncodeRawSignature - ASN1Encode(4) = 00000000"));
  EXPECT_TRUE(Has("SM2EncodeRawSignature - ASN1Encode(5) = 00000000"));
  ScopedTraceRecorder::records().clear();
  Produce([&](BYTE** o, DWORD* l) { return SM2EncodeRawSignature(ByteView(raw).first(63), o, l); });
  EXPECT_TRUE(Has("SM2EncodeRawSignature - Check SM2 raw signature size = 8007000D"));
}

}  // namespace
