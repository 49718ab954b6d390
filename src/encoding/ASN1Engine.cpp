#include "encoding/ASN1Engine.h"

#include <cassert>
#include <new>

#include "trace/Trace.h"

TRACE_COMPONENT("ASN1Engine");

namespace {

// The octet at `position` of a node's buffer; every read of the tree's
// buffer goes through here, so that a read past the end trips in Debug.
BYTE OctetAt(const ASN1Node* node, uint64_t position) {
  assert(position < node->bufferLength);
  return node->buffer[position];
}

// A new child of `parent` (or a root when parent is null) from its header.
std::unique_ptr<ASN1Node> NewNode(const BYTE* buffer, uint32_t bufferLength, const ASN1Header& h,
                                  const ASN1Node* parent) {
  std::unique_ptr<ASN1Node> node(new (std::nothrow) ASN1Node);
  if (!node) return node;
  node->buffer = buffer;
  node->bufferLength = bufferLength;
  node->identifier = h.identifier;
  node->lengthOctets = h.lengthOctets;
  node->contentLength = h.contentLength;
  node->contentOffset = h.contentOffset;
  node->indefinite = h.indefinite;
  if (h.indefinite) {
    node->encodedLength = kASN1IndefiniteLength;
  } else {
    // Saturates for lengths that cannot fit; ParseNode refuses those.
    const uint64_t total = 1ull + h.lengthOctets + h.contentLength;
    node->encodedLength = total > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
  }
  node->parent = parent;
  return node;
}

uint64_t ContentEnd(const ASN1Node* node) { return node->contentOffset + node->contentLength; }

// Fixes the length of an indefinite element once its end is known.
void Resolve(ASN1Node* node, uint32_t contentLength) {
  node->contentLength = contentLength;
  node->encodedLength = 1 + node->lengthOctets + contentLength;
  node->indefinite = 0;
}

#ifndef NDEBUG
// What a successful decode promises of every node of the tree.
bool KeepsPromises(const ASN1Node* node) {
  if (node->indefinite || ContentEnd(node) > node->bufferLength ||
      node->encodedLength != 1ull + node->lengthOctets + node->contentLength)
    return false;
  for (const auto& child : node->children) {
    if (child->parent != node || child->contentOffset < node->contentOffset ||
        ContentEnd(child.get()) > ContentEnd(node) || !KeepsPromises(child.get()))
      return false;
  }
  return true;
}
#endif

}  // namespace

bool IsASN1Container(uint8_t identifier) {
  if (identifier <= 0x1F) return false;                        // universal, primitive
  if (identifier >= 0x80 && identifier <= 0x8F) return false;  // context [0..15], primitive
  return true;
}

int32_t GetASN1ValueLength(const BYTE* buffer, int64_t position, int64_t end, ASN1Header* header) {
  if (position < 0 || position >= end) return -1;
  const BYTE first = buffer[position];
  if (first < 0x80) {
    header->lengthOctets = 1;
    header->contentLength = first;
    header->indefinite = 0;
  } else if (first == 0x80) {
    header->lengthOctets = 1;
    header->contentLength = kASN1IndefiniteLength;
    header->indefinite = 1;
  } else {
    const int64_t count = first & 0x7F;
    if (position + count >= end) return -1;  // the length octets must lie before `end`
    uint32_t value = 0;
    int significant = 0;
    for (int64_t i = 1; i <= count; ++i) {
      assert(position + i < end);
      const BYTE octet = buffer[position + i];
      if (significant == 0 && octet == 0) continue;  // leading zero octets are accepted
      if (++significant > 4) return -1;              // does not fit 32 bits
      value = (value << 8) | octet;
    }
    header->lengthOctets = static_cast<uint32_t>(count + 1);
    header->contentLength = value;
    header->indefinite = 0;
  }
  header->contentOffset = static_cast<uint64_t>(position) + header->lengthOctets;
  return 0;
}

int32_t ParseASN1TLV(const BYTE* buffer, int64_t position, int64_t end, ASN1Header* header) {
  if (position < 0 || position >= end) return -1;
  header->identifier = buffer[position];
  return GetASN1ValueLength(buffer, position + 1, end, header);
}

void PrintNode(const ASN1Node* node) {
  const uint32_t identifier = node->identifier;
  const uint32_t length = node->contentLength;
  const uint32_t offset = static_cast<uint32_t>(node->contentOffset);
  TRACE_VALUE(identifier, length, offset);
}

int32_t GetInfiniteLength(ASN1Node* node) {
  if (node->indefinite != 1) {
    TRACE_FAILURE();
    return -1;
  }
  bool previousZero = false;
  uint64_t count = 0;
  for (uint64_t pos = node->contentOffset; pos < node->bufferLength; ++pos) {
    ++count;
    const bool zero = OctetAt(node, pos) == 0;
    if (zero && previousZero) {
      Resolve(node, static_cast<uint32_t>(count));
      return 0;
    }
    previousZero = zero;
  }
  TRACE_FAILURE();  // no end-of-contents pair before the buffer's end
  return -1;
}

int32_t ParseNode(ASN1Node* node, uint32_t* counter) {
  if (++*counter > kASN1MaxNodes) {
    TRACE_FAILURE(*counter);
    return -1;
  }
  // No element, container or not, may claim content past the buffer.
  if (!node->indefinite && ContentEnd(node) > node->bufferLength) {
    TRACE_FAILURE(node->contentLength);
    return -1;
  }
  if (!IsASN1Container(node->identifier)) return node->indefinite ? GetInfiniteLength(node) : 0;

  const uint32_t declared = node->contentLength;
  if (declared == 0) return 0;
  const uint64_t bound = node->indefinite ? node->bufferLength : ContentEnd(node);
  uint64_t consumed = 0;
  for (;;) {
    const uint64_t position = node->contentOffset + consumed;
    if (node->indefinite) {
      // End-of-contents (two zero octets) closes the element; checked before
      // each child so that empty indefinite content is accepted too.
      if (position + 2 > node->bufferLength) {
        TRACE_FAILURE();
        return -1;
      }
      if (OctetAt(node, position) == 0 && OctetAt(node, position + 1) == 0) {
        Resolve(node, static_cast<uint32_t>(consumed + 2));
        PrintNode(node);
        return 0;
      }
    }
    ASN1Header h;
    if (ParseASN1TLV(node->buffer, static_cast<int64_t>(position), static_cast<int64_t>(bound),
                     &h) != 0) {
      TRACE_FAILURE(static_cast<uint32_t>(position));
      return -1;
    }
    std::unique_ptr<ASN1Node> child = NewNode(node->buffer, node->bufferLength, h, node);
    if (!child) {
      TRACE_FAILURE();
      return -1;
    }
    PrintNode(child.get());
    int32_t result = ParseNode(child.get(), counter);
    // A child of a definite element must end inside it.
    if (result == 0 && ContentEnd(child.get()) > bound) result = -1;
    const uint32_t childLength = child->encodedLength;
    if (result == 0) {
      try {
        node->children.push_back(std::move(child));
      } catch (const std::bad_alloc&) {
        result = -1;
      }
    }
    if (result != 0) {
      TRACE_FAILURE(static_cast<uint32_t>(position));
      return result;  // `child`, if still held, is released with its subtree
    }
    consumed += childLength;
    if (!node->indefinite && consumed >= declared) return 0;
  }
}

int32_t DecodeASN1Memory(const BYTE* data, uint32_t length, std::unique_ptr<ASN1Node>* root) {
  TraceHelper trace("DecodeASN1Memory");
  ASN1Header h;
  if (data == nullptr || root == nullptr || ParseASN1TLV(data, 0, length, &h) != 0) {
    TRACE_FAILURE(length);
    return kASN1HeaderUnreadable;
  }
  std::unique_ptr<ASN1Node> node = NewNode(data, length, h, nullptr);
  if (!node) {
    TRACE_FAILURE(length);
    return -1;
  }
  *root = std::move(node);
  uint32_t counter = 0;
  PrintNode(root->get());
  const int32_t result = ParseNode(root->get(), &counter);
  TRACE_VALUE(counter);
  assert(result != 0 || KeepsPromises(root->get()));
  return result;
}
