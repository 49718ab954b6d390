// Reading PKCS#10 requests: the file's text or DER, and the parts that the
// signature check and the certificate need, as the request's own octets.
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cctype>
#include <cstring>

#include "testca/DerTree.h"
#include "testca/TestCa.h"

namespace testca {
namespace {

constexpr unsigned char kTemporaryKeyOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x3F};

Bytes Slice(const Bytes& der, size_t from, size_t to) {
  return Bytes(der.begin() + static_cast<long>(from), der.begin() + static_cast<long>(to));
}

std::string DottedOid(const Bytes& der, const DerElement& e) {
  const unsigned char* p = der.data() + e.start;
  ASN1_OBJECT* object = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(e.end() - e.start));
  char text[128] = {};
  if (object != nullptr) OBJ_obj2txt(text, sizeof text, object, 1);
  ASN1_OBJECT_free(object);
  return text;
}

// The key inside a temporaryKey attribute: OID, then OCTET STRING (or a SET
// holding it) { SEQUENCE { INTEGER 1, OCTET STRING key } }.
bool TemporaryKey(const Bytes& der, const DerElement& attribute, Bytes* key) {
  if (attribute.tag != 0x30 || attribute.children.size() != 2) return false;
  const DerElement& oid = attribute.children[0];
  if (oid.tag != 0x06 || oid.contentLength != sizeof kTemporaryKeyOid ||
      std::memcmp(der.data() + oid.contentOffset, kTemporaryKeyOid, sizeof kTemporaryKeyOid) != 0)
    return false;
  const DerElement* value = &attribute.children[1];
  if (value->tag == 0x31 && value->children.size() == 1) value = &value->children[0];
  if (value->tag != 0x04) return false;
  DerElement inner;
  if (!DecodeDerTree(der.data() + value->contentOffset, value->contentLength, &inner) ||
      inner.tag != 0x30 || inner.children.size() != 2 || inner.children[1].tag != 0x04)
    return false;
  const unsigned char* base = der.data() + value->contentOffset;
  const DerElement& octets = inner.children[1];
  key->assign(base + octets.contentOffset, base + octets.end());
  return true;
}

bool IsBase64Char(unsigned char c) {
  return std::isalnum(c) || c == '+' || c == '/' || c == '=';
}

}  // namespace

bool DecodeRequest(const Bytes& der, RequestParts* parts, std::string* error) {
  DerElement root;
  if (!DecodeDerTree(der.data(), der.size(), &root) || root.tag != 0x30 ||
      root.children.size() != 3) {
    *error = "the request is not a DER CertificationRequest";
    return false;
  }
  const DerElement& info = root.children[0];
  const DerElement& algorithm = root.children[1];
  const DerElement& signature = root.children[2];
  if (info.tag != 0x30 || info.children.size() < 3 || info.children[1].tag != 0x30 ||
      info.children[2].tag != 0x30 || algorithm.tag != 0x30 || algorithm.children.empty() ||
      algorithm.children[0].tag != 0x06 || signature.tag != 0x03 || signature.contentLength < 2 ||
      der[signature.contentOffset] != 0) {
    *error = "the request's certificationRequestInfo, algorithm or signature is malformed";
    return false;
  }
  parts->info = Slice(der, info.start, info.end());
  parts->subject = Slice(der, info.children[1].start, info.children[1].end());
  parts->publicKeyInfo = Slice(der, info.children[2].start, info.children[2].end());
  parts->signatureAlgorithm = DottedOid(der, algorithm.children[0]);
  parts->signature = Slice(der, signature.contentOffset + 1, signature.end());
  parts->temporaryKey.clear();
  if (info.children.size() > 3 && info.children[3].tag == 0xA0)
    for (const DerElement& attribute : info.children[3].children)
      if (TemporaryKey(der, attribute, &parts->temporaryKey)) break;
  return true;
}

bool FileOctets(const Bytes& content, Bytes* der, std::string* error) {
  if (!content.empty() && (content[0] == 0x30 || content[0] == 0x00)) {
    *der = content;
    return true;
  }
  // Base64: lines of any length and ending; armour lines are skipped.
  std::string text;
  size_t line = 0;
  while (line < content.size()) {
    size_t end = line;
    while (end < content.size() && content[end] != '\n') ++end;
    if (end - line < 5 || std::memcmp(&content[line], "-----", 5) != 0)
      for (size_t i = line; i < end; ++i)
        if (IsBase64Char(content[i])) text.push_back(static_cast<char>(content[i]));
    line = end + 1;
  }
  size_t pad = 0;
  while (pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
  der->assign(text.size() / 4 * 3 + 3, 0);
  const int n = text.size() % 4 == 0
                    ? EVP_DecodeBlock(der->data(), reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()))
                    : -1;
  if (text.empty() || n < 0) {
    *error = "the file holds neither DER nor Base64 text";
    return false;
  }
  der->resize(static_cast<size_t>(n) - pad);
  return true;
}

}  // namespace testca
