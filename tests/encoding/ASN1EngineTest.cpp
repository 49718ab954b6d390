// The DER decoder: the shared vectors, malformed inputs and the node limit.
#include <gtest/gtest.h>

#include <cstdio>

#include "encoding/ASN1Engine.h"
#include "encoding/DerVectors.h"

namespace {

using Tree = std::unique_ptr<ASN1Node>;

// Pre-order rendering: "identifier/length octets/content length/content
// offset/encoded length" per node, children in brackets.
std::string Render(const ASN1Node* n) {
  char head[64];
  std::snprintf(head, sizeof head, "%02X/%u/%u/%llu/%u", n->identifier, n->lengthOctets,
                n->contentLength, static_cast<unsigned long long>(n->contentOffset),
                n->encodedLength);
  std::string s = head;
  if (!n->children.empty()) {
    s += "[";
    for (size_t i = 0; i < n->children.size(); ++i) {
      if (i) s += ' ';
      s += Render(n->children[i].get());
    }
    s += "]";
  }
  return s;
}

// Checks the tree's invariants: parent links, buffer, no open indefinite
// lengths, children laid end to end inside their parent.
void CheckInvariants(const ASN1Node* n) {
  EXPECT_EQ(n->indefinite, 0);
  EXPECT_EQ(n->encodedLength, 1 + n->lengthOctets + n->contentLength);
  uint64_t next = n->contentOffset;
  for (const auto& c : n->children) {
    EXPECT_EQ(c->parent, n);
    EXPECT_EQ(c->buffer, n->buffer);
    EXPECT_EQ(c->contentOffset, next + 1 + c->lengthOctets);
    next += c->encodedLength;
    CheckInvariants(c.get());
  }
  EXPECT_LE(n->contentOffset + n->contentLength, n->bufferLength);
}

int32_t Decode(const Bytes& der, Tree* tree) {
  return DecodeASN1Memory(der.data(), static_cast<uint32_t>(der.size()), tree);
}

TEST(ASN1Engine, ReadsTheSharedVectors) {
  for (const DerVector& v : kDerVectors) {
    SCOPED_TRACE(v.der);
    Tree tree;
    ASSERT_EQ(Decode(FromHex(v.der), &tree), 0);
    EXPECT_EQ(Render(tree.get()), v.tree);
    CheckInvariants(tree.get());
  }
}

struct FailureCase { const char* name; const char* hex; int32_t result; };

const FailureCase kFailures[] = {
    {"empty", "", kASN1HeaderUnreadable},
    {"long form cut", "30 82 01", kASN1HeaderUnreadable},
    {"five significant length octets", "04 85 01 00 00 00 00", kASN1HeaderUnreadable},
    {"sequence past buffer", "30 05 02 01 05", -1},  // SEQUENCE claims 5 octets, 3 present
    {"leaf past buffer", "04 05 01 02", -1},  // primitive claims more than the buffer holds
    {"child past buffer", "30 03 02 04 05", -1},  // child INTEGER claims 4 octets past the buffer's end
    {"child past parent", "30 03 04 03 01 02 03", -1},  // child runs past its parent's end (inside the buffer)
    {"child header cut", "30 01 02 00", -1},  // child's first length octet lies past the parent's content
    {"nested long length", "30 07 04 85 01 00 00 00 00", -1},  // nested long form of five significant octets
    {"indefinite unterminated", "30 80 02 01 01", -1},  // indefinite SEQUENCE without end-of-contents
    {"indefinite primitive unterminated", "04 80 01 00 02 00", -1},  // indefinite primitive without a zero pair
};

// An unreadable first header leaves the root as the caller set it; a
// failure further in hands out the partial tree, its root read.
TEST(ASN1Engine, RefusesMalformedInput) {
  for (const FailureCase& c : kFailures) {
    SCOPED_TRACE(c.name);
    Tree tree(new ASN1Node);
    const ASN1Node* before = tree.get();
    EXPECT_EQ(Decode(FromHex(c.hex), &tree), c.result);
    if (c.result == kASN1HeaderUnreadable) {
      EXPECT_EQ(tree.get(), before);
    } else {
      ASSERT_NE(tree, nullptr);
      EXPECT_NE(tree.get(), before);
      EXPECT_EQ(tree->identifier, FromHex(c.hex)[0]);
    }
  }
}

Bytes SequenceOfNulls(size_t count) {
  Bytes content;
  for (size_t i = 0; i < count; ++i) content.insert(content.end(), {0x05, 0x00});
  Bytes der = {0x30, 0x82, static_cast<unsigned char>(content.size() >> 8),
               static_cast<unsigned char>(content.size())};
  der.insert(der.end(), content.begin(), content.end());
  return der;
}

// 255 nodes at most, wide or (300 indefinite SEQUENCEs around a NULL) deep.
TEST(ASN1Engine, NodeLimitIs255) {
  Tree tree, over, deep;
  ASSERT_EQ(Decode(SequenceOfNulls(254), &tree), 0);
  EXPECT_EQ(tree->children.size(), 254u);
  EXPECT_EQ(Decode(SequenceOfNulls(255), &over), -1);
  Bytes der;
  for (int i = 0; i < 300; ++i) der.insert(der.end(), {0x30, 0x80});
  der.insert(der.end(), {0x05, 0x00});
  der.insert(der.end(), 600, 0x00);
  EXPECT_EQ(Decode(der, &deep), -1);
}

}  // namespace
