// A DER encoding as a plain tree of element positions, read with the
// project's own ASN.1 decoder (ASN1Engine), which also accepts the request
// attributes in the form OpenSSL's request parser refuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testca {

// One element: positions into the decoded buffer. Constructed elements
// (SEQUENCE, SET, context-specific constructed) have their children;
// primitive ones (OCTET STRING, BIT STRING, ...) have none.
struct DerElement {
  uint8_t tag = 0;
  size_t start = 0;          // offset of the identifier octet
  size_t contentOffset = 0;  // offset of the first content octet
  size_t contentLength = 0;
  std::vector<DerElement> children;

  size_t end() const { return contentOffset + contentLength; }
};

// Decodes the element at the start of `data` (`size` octets; later octets
// are ignored). Returns false when the decoder refuses the encoding. The
// only place that touches the decoder's node tree.
bool DecodeDerTree(const unsigned char* data, size_t size, DerElement* root);

}  // namespace testca
