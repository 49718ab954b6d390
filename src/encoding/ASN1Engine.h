// ASN1Engine: decodes one DER (or cheap BER) encoding held in memory into a
// tree of nodes that point into that memory. Nothing is copied.
//
// Accepted beyond DER: long-form lengths with leading zero octets and
// indefinite lengths. Identifiers are one octet (the high-tag-number form is
// not recognised). One decode builds at most 255 nodes, which also bounds
// the recursion depth. No read ever passes the end of the caller's buffer.
//
// Debug builds (and the sanitizer builds) assert these promises: every
// octet read lies inside the buffer, and after a successful decode no node
// is indefinite and every node lies inside its parent and the buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/WinTypes.h"

// One decoded element. The tree refers into the caller's buffer, which must
// stay alive and unchanged while the tree is used; each node owns its
// children and releases them, in order, before itself. After a successful
// decode no node is indefinite.
struct ASN1Node {
  const BYTE* buffer = nullptr;  // the caller's whole encoding (same for every node)
  uint32_t bufferLength = 0;
  uint8_t identifier = 0;      // the whole identifier octet
  uint32_t lengthOctets = 0;   // 1 (short or indefinite form) or 1 + N (long form)
  uint32_t contentLength = 0;  // 0xFFFFFFFF while indefinite and unresolved
  uint64_t contentOffset = 0;  // absolute offset of the first content octet
  uint32_t encodedLength = 0;  // 1 + lengthOctets + contentLength
  uint16_t indefinite = 0;     // 1 while the length is indefinite and unresolved
  const ASN1Node* parent = nullptr;  // not owned; null for the root
  std::vector<std::unique_ptr<ASN1Node>> children;

  ASN1Node() = default;
  ASN1Node(const ASN1Node&) = delete;
  ASN1Node& operator=(const ASN1Node&) = delete;
  ~ASN1Node() {
    for (auto& child : children) child.reset();
  }

  const BYTE* content() const { return buffer + contentOffset; }
};

// The header of one element as read by ParseASN1TLV / GetASN1ValueLength.
struct ASN1Header {
  uint8_t identifier = 0;
  uint32_t lengthOctets = 0;
  uint32_t contentLength = 0;
  uint64_t contentOffset = 0;
  uint16_t indefinite = 0;
};

constexpr uint32_t kASN1IndefiniteLength = 0xFFFFFFFFu;
constexpr uint32_t kASN1MaxNodes = 255;
// DecodeASN1Memory's result when the outermost header cannot be read. The
// sign bit is clear: test results for non-zero, never for negative.
constexpr int32_t kASN1HeaderUnreadable = 0x20001041;

// Decodes `length` octets at `data`. Returns 0 on success, with the tree in
// *root; kASN1HeaderUnreadable when the outermost identifier and length
// cannot be read (*root untouched); -1 when a nested element fails, in
// which case *root holds the partly built tree, which the caller must not
// read (a failed node may claim content past the buffer). The caller owns
// the tree through *root. Octets after the outermost element are ignored.
int32_t DecodeASN1Memory(const BYTE* data, uint32_t length, std::unique_ptr<ASN1Node>* root);

// Reads the identifier at `position` and the length octets after it, all
// before `end`. Returns 0 or -1 (header not within [position, end), long
// form of more than four significant octets).
int32_t ParseASN1TLV(const BYTE* buffer, int64_t position, int64_t end, ASN1Header* header);

// Reads the length octets that start at `position` (the octet after the
// identifier), all before `end`; fills every field but the identifier.
// Returns 0 or -1.
int32_t GetASN1ValueLength(const BYTE* buffer, int64_t position, int64_t end, ASN1Header* header);

// Parses the children of `node` recursively. `counter` counts the nodes of
// the whole decode. Returns 0 or -1.
int32_t ParseNode(ASN1Node* node, uint32_t* counter);

// Resolves the length of an indefinite primitive element: its content runs
// to and including the first pair of zero octets. Returns 0, or -1 when the
// node is not indefinite or no pair lies before the buffer's end.
int32_t GetInfiniteLength(ASN1Node* node);

// Writes an information trace record with the node's identifier, content
// length and content offset.
void PrintNode(const ASN1Node* node);

// True when the identifier octet is parsed for children.
bool IsASN1Container(uint8_t identifier);
