#include "testca/DerTree.h"

#include "encoding/ASN1Engine.h"

namespace testca {
namespace {

void Copy(const ASN1Node* node, DerElement* out) {
  out->tag = node->identifier;
  out->contentOffset = static_cast<size_t>(node->contentOffset);
  out->contentLength = node->contentLength;
  out->start = out->contentOffset - node->lengthOctets - 1;
  out->children.resize(node->children.size());
  for (size_t i = 0; i < node->children.size(); ++i) Copy(node->children[i].get(), &out->children[i]);
}

}  // namespace

bool DecodeDerTree(const unsigned char* data, size_t size, DerElement* root) {
  if (data == nullptr || size == 0 || size > UINT32_MAX) return false;
  std::unique_ptr<ASN1Node> tree;
  const int32_t result = DecodeASN1Memory(data, static_cast<uint32_t>(size), &tree);
  const bool ok = result == 0 && tree != nullptr && tree->encodedLength <= size;
  if (ok) Copy(tree.get(), root);
  return ok;
}

}  // namespace testca
