// Fuzz target: DecodeASN1Memory on arbitrary octets. Every node of a
// complete tree must lie inside the input; reading every content octet lets
// the address sanitizer catch any that does not. A partial tree (result -1)
// is only released, as callers do.
#include <cstdint>
#include <cstdlib>

#include "encoding/ASN1Engine.h"

namespace {

unsigned Touch(const ASN1Node* node, const uint8_t* data, size_t size) {
  if (node->buffer != data || node->bufferLength != size) std::abort();
  unsigned sum = node->identifier;
  if (!node->indefinite) {
    if (node->contentOffset + node->contentLength > size) std::abort();
    for (uint32_t i = 0; i < node->contentLength; ++i) sum += node->content()[i];
  }
  for (const auto& child : node->children) {
    if (child->parent != node) std::abort();
    sum += Touch(child.get(), data, size);
  }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  std::unique_ptr<ASN1Node> root;
  const int32_t result = DecodeASN1Memory(data, static_cast<uint32_t>(size), &root);
  if (result != 0 && result != -1 && result != kASN1HeaderUnreadable) std::abort();
  if (result == kASN1HeaderUnreadable && root != nullptr) std::abort();
  if (result == 0) {
    if (root == nullptr || root->indefinite) std::abort();
    volatile unsigned sink = Touch(root.get(), data, size);
    (void)sink;
  }
  return 0;
}
