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
    Bytes header(ASN1_object_size(0, length, tag) - length);
    unsigned char* h = header.data();
    ASN1_put_object(&h, kind & V_ASN1_CONSTRUCTED, length, tag, cls);
    out.insert(out.end(), header.begin(), header.end());
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
    const Bytes header = FromHex(row.outerHeader);
    EXPECT_EQ(ToHex(der.data(), header.size()), row.outerHeader);
    const unsigned char* p = der.data();
    EXPECT_EQ(OpenSslRebuilt(p, der.data() + der.size()), der);
  }
}

constexpr BYTE kOne[] = {0x01};
int g_composed;
// A composer that counts its runs, hands out one octet and returns `status`.
auto Composer(HRESULT status) {
  return [status](BYTE** o, DWORD* l) {
    ++g_composed;
    *o = AllocZeroed(1), *l = 1;
    return status;
  };
}

// The first failure sticks: later calls change nothing, run no composer,
// and DerFinish hands nothing out; so does an element left open.
TEST(DerBuilder, FailuresStick) {
  const struct { const char* name; void (*fail)(DerBuilder*); HRESULT status; } rows[] = {
      {"closed out of order",
       [](DerBuilder* b) {
         const DerMark outer = DerOpen(b, kTagSet);
         DerOpen(b, kTagSequence);
         DerClose(b, outer);
       },
       E_FAIL},
      {"content beyond 32 bits", [](DerBuilder* b) { DerAdd(b, {kOne, 0x100000000ull}); }, E_FAIL},
      {"composer failed", [](DerBuilder* b) { DerAddComposed(b, Composer(NTE_BAD_DATA)); },
       NTE_BAD_DATA},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    DerBuilder b;
    DerAdd(&b, kOne);
    row.fail(&b);
    const size_t written = DerView(&b).size();
    g_composed = 0;
    DerClose(&b, DerOpen(&b, kTagSequence));
    DerAddElement(&b, kTagInteger, kOne);
    EXPECT_EQ(DerAddComposed(&b, Composer(S_OK)), row.status);
    EXPECT_EQ(DerView(&b).size(), written);
    EXPECT_EQ(g_composed, 0);
    auto [hr, der] = Produce([&](BYTE** o, DWORD* l) { return DerFinish(&b, o, l); });
    EXPECT_EQ(hr, row.status);
    EXPECT_TRUE(der.empty());
  }
  DerBuilder open;
  DerOpen(&open, kTagSet);
  auto [hr, der] = Produce([&](BYTE** o, DWORD* l) { return DerFinish(&open, o, l); });
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_TRUE(der.empty());
}

}  // namespace
