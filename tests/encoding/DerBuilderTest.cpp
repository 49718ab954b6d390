// The DER builder: lengths patched across the short/long-form boundaries,
// checked by OpenSSL's header reader and writer, and its sticky failures.
#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include "encoding/DerBuilder.h"
#include "support/DerTestSupport.h"

namespace {

// `der` rebuilt by OpenSSL: each header read with ASN1_get_object and
// written again with ASN1_put_object (minimal lengths), descending into
// constructed elements. Equal to `der` only if every length is right and
// minimal; empty when OpenSSL cannot read it.
Bytes OpenSslRebuilt(const unsigned char*& p, const unsigned char* end) {
  Bytes out;
  while (p < end) {
    long length = 0;
    int tag = 0, cls = 0;
    const int kind = ASN1_get_object(&p, &length, &tag, &cls, end - p);
    if (kind & 0x80) return {};
    const unsigned char* contentEnd = p + length;
    const Bytes content = (kind & V_ASN1_CONSTRUCTED) ? OpenSslRebuilt(p, contentEnd)
                                                     : Bytes(p, contentEnd);
    p = contentEnd;
    if (content.size() != static_cast<size_t>(length)) return {};
    const size_t at = out.size();
    out.resize(at + ASN1_object_size(0, length, tag) - length);
    unsigned char* header = out.data() + at;
    ASN1_put_object(&header, kind & V_ASN1_CONSTRUCTED, length, tag, cls);
    out.insert(out.end(), content.begin(), content.end());
  }
  return out;
}

// SEQUENCE { [0] { OCTET STRING n } opened and closed, OCTET STRING n
// added whole }: the OCTET STRINGs cross the boundaries at n, the [0]
// (moving a patched element) at n + 2, the SEQUENCE at about 2n.
TEST(DerBuilder, NestedLengthsAcrossTheForms) {
  const struct { size_t n; const char* outerHeader; } rows[] = {
      {0, "30 06"},         {60, "30 7E"},         {61, "30 81 80"},
      {125, "30 82 01 00"}, {126, "30 82 01 03"},  {127, "30 82 01 05"},
      {128, "30 82 01 09"}, {255, "30 82 02 08"},  {256, "30 82 02 0C"},
      {65535, "30 83 02 00 0B"}, {65536, "30 83 02 00 0F"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.n);
    const Bytes content(row.n, 0x5A);
    DerBuilder b;
    const DerMark outer = DerOpen(&b, kTagSequence);
    const DerMark tagged = DerOpen(&b, kTagContext0);
    const DerMark octets = DerOpen(&b, kTagOctetString);
    DerAdd(&b, content);
    DerClose(&b, octets);
    DerClose(&b, tagged);
    DerAddElement(&b, kTagOctetString, content);
    DerClose(&b, outer);
    auto [hr, der] = Produce([&](BYTE** o, DWORD* l) { return DerFinish(&b, o, l); });
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(ToHex(der.data(), FromHex(row.outerHeader).size()), row.outerHeader);
    const unsigned char* p = der.data();
    EXPECT_EQ(OpenSslRebuilt(p, der.data() + der.size()), der);
  }
}

constexpr BYTE kOne[] = {0x01};
int g_composed;
HRESULT g_composerStatus;
// A composer that counts its runs and hands out one octet.
HRESULT Compose(BYTE** out, DWORD* outLen) {
  ++g_composed;
  *out = AllocZeroed(1), *outLen = 1;
  return g_composerStatus;
}

// The first failure sticks: later calls write nothing and run no composer,
// and DerFinish hands nothing out. An element left open fails DerFinish.
TEST(DerBuilder, FailuresStick) {
  const struct { const char* name; void (*fail)(DerBuilder*); HRESULT status; } rows[] = {
      {"left open", [](DerBuilder* b) { DerOpen(b, kTagSet); }, S_OK},
      {"closed out of order",
       [](DerBuilder* b) {
         const DerMark set = DerOpen(b, kTagSet);
         DerOpen(b, kTagSequence);
         DerClose(b, set);
       },
       E_FAIL},
      {"content beyond 32 bits", [](DerBuilder* b) { DerAdd(b, {kOne, 0x100000000ull}); }, E_FAIL},
      {"composer failed",
       [](DerBuilder* b) { g_composerStatus = NTE_BAD_DATA, DerAddComposed(b, Compose); },
       NTE_BAD_DATA},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    DerBuilder b;
    row.fail(&b);
    const size_t written = DerView(&b).size();
    g_composed = 0, g_composerStatus = S_OK;
    DerAddElement(&b, kTagInteger, kOne);
    EXPECT_EQ(DerAddComposed(&b, Compose), row.status);
    EXPECT_EQ(DerView(&b).size() == written, FAILED(row.status));
    EXPECT_EQ(g_composed, FAILED(row.status) ? 0 : 1);
    auto [hr, der] = Produce([&](BYTE** o, DWORD* l) { return DerFinish(&b, o, l); });
    EXPECT_EQ(hr, FAILED(row.status) ? row.status : E_FAIL);
    EXPECT_TRUE(der.empty());
  }
}

}  // namespace
