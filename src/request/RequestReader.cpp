#include "request/RequestReader.h"

#include <memory>

#include "base/Platform.h"
#include "base/Status.h"
#include "encoding/ASN1Engine.h"
#include "encoding/Base64.h"
#include "encoding/Buffer.h"
#include "request/CertRequest.h"

namespace {

constexpr uint8_t kInteger = kTagInteger, kBitString = kTagBitString,
                  kOctetString = kTagOctetString, kOid = kTagObjectIdentifier,
                  kUtf8String = kTagUtf8String, kPrintableString = kTagPrintableString,
                  kT61String = 0x14, kIa5String = kTagIa5String, kBmpString = kTagBmpString,
                  kSequence = kTagSequence, kSet = kTagSet, kAttributes = kTagContext0;

using Tree = std::unique_ptr<ASN1Node>;

// The tree of exactly the `size` octets at `data`; null when they are not one
// complete element.
Tree Decode(const BYTE* data, size_t size) {
  Tree tree;
  if (size == 0 || size > 0xFFFFFFFFu) return nullptr;
  const int32_t result = DecodeASN1Memory(data, static_cast<uint32_t>(size), &tree);
  if (result != 0 || tree == nullptr || tree->encodedLength != size) return nullptr;
  return tree;
}

// The index-th child of `node` when it carries `tag`; null otherwise.
const ASN1Node* Child(const ASN1Node* node, size_t index, uint8_t tag) {
  if (node == nullptr || index >= node->children.size()) return nullptr;
  const ASN1Node* child = node->children[index].get();
  return child->identifier == tag ? child : nullptr;
}

const BYTE* Start(const ASN1Node* node) {
  return node->content() - 1 - node->lengthOctets;
}

std::vector<BYTE> Whole(const ASN1Node* node) {
  return std::vector<BYTE>(Start(node), Start(node) + node->encodedLength);
}

std::vector<BYTE> Content(const ASN1Node* node) {
  return std::vector<BYTE>(node->content(), node->content() + node->contentLength);
}

// Dotted text of an OBJECT IDENTIFIER; empty when its content is malformed.
std::string OidText(const ASN1Node* oid) {
  if (oid == nullptr || oid->contentLength == 0) return {};
  std::string text;
  uint64_t arc = 0;
  bool first = true;
  for (uint32_t i = 0; i < oid->contentLength; ++i) {
    const BYTE b = oid->content()[i];
    if (arc > (UINT64_MAX >> 7)) return {};
    arc = (arc << 7) | (b & 0x7F);
    if (b & 0x80) continue;
    if (first) {
      const uint64_t top = arc < 40 ? 0 : arc < 80 ? 1 : 2;
      text.append(std::to_string(top));
      arc -= top * 40;
      first = false;
    }
    text.push_back('.');
    text.append(std::to_string(arc));
    arc = 0;
  }
  return (oid->content()[oid->contentLength - 1] & 0x80) ? std::string() : text;
}

// Bits of a big-endian unsigned integer's content octets.
DWORD BitsOf(const BYTE* p, uint32_t size) {
  while (size > 0 && *p == 0) ++p, --size;
  if (size == 0) return 0;
  DWORD bits = (size - 1) * 8;
  for (BYTE top = *p; top; top >>= 1) ++bits;
  return bits;
}

struct Named {
  const char* oid;
  const char* name;
};
constexpr Named kSignatureNames[] = {
    {kOidMd5WithRsa, "md5WithRSAEncryption"},
    {kOidSha1WithRsa, "sha1WithRSAEncryption"},
    {"1.2.840.113549.1.1.11", "sha256WithRSAEncryption"},
    {kOidSm3WithSm2, "SM2-with-SM3"},
};

std::string SignatureName(const std::string& oid) {
  for (const Named& n : kSignatureNames)
    if (oid == n.oid) return n.name;
  return oid;
}

// Key algorithm and bits from subjectPublicKeyInfo's algorithm and key.
void DescribeKey(const std::string& oid, const std::string& parameter, const ASN1Node* key,
                 RequestSummary* out) {
  const BYTE* bits = key->content() + 1;  // after the unused-bits octet
  const uint32_t size = key->contentLength - 1;
  if (oid == kOidRsaEncryption) {
    out->keyAlgorithm = "RSA";
    const Tree rsa = Decode(bits, size);
    if (const ASN1Node* modulus = Child(rsa.get(), 0, kInteger))
      out->keyBits = BitsOf(modulus->content(), modulus->contentLength);
  } else if (oid == kOidEcPublicKey) {
    out->keyAlgorithm = parameter == kOidSm2Curve ? "SM2" : "EC";
    if (size > 1 && bits[0] == 0x04) out->keyBits = (size - 1) / 2 * 8;  // uncompressed point
  } else {
    out->keyAlgorithm = oid;
  }
}

bool IsString(uint8_t tag) {
  return tag == kUtf8String || tag == kPrintableString || tag == kT61String ||
         tag == kIa5String || tag == kBmpString;
}

// The string's characters as UTF-8 octets (BMPString is UTF-16 big-endian).
std::vector<BYTE> StringOctets(const ASN1Node* value) {
  if (value->identifier != kBmpString) return Content(value);
  std::vector<BYTE> out;
  for (uint32_t i = 0; i + 1 < value->contentLength; i += 2) {
    const unsigned c = (value->content()[i] << 8) | value->content()[i + 1];
    if (c < 0x80) {
      out.push_back(static_cast<BYTE>(c));
    } else if (c < 0x800) {
      out.insert(out.end(), {static_cast<BYTE>(0xC0 | c >> 6), static_cast<BYTE>(0x80 | (c & 0x3F))});
    } else {  // surrogates pass through as three octets; the JSON writer replaces them
      out.insert(out.end(), {static_cast<BYTE>(0xE0 | c >> 12),
                             static_cast<BYTE>(0x80 | ((c >> 6) & 0x3F)),
                             static_cast<BYTE>(0x80 | (c & 0x3F))});
    }
  }
  return out;
}

HRESULT ReadAttribute(const ASN1Node* node, RequestAttribute* out) {
  const ASN1Node* oid = Child(node, 0, kOid);
  if (node->identifier != kSequence || oid == nullptr || node->children.size() != 2)
    return CRYPT_E_ASN1_BADTAG;
  out->oid = OidText(oid);
  const ASN1Node* value = node->children[1].get();
  out->special = value->identifier != kSet;
  if (!out->special) {
    if (value->children.empty()) return CRYPT_E_ASN1_BADTAG;
    value = value->children[0].get();
  }
  if (out->oid == kOidChallengePassword && IsString(value->identifier)) {
    out->text = true;
    out->value = StringOctets(value);
    return S_OK;
  }
  if (out->oid == kOidTemporaryKey && value->identifier == kOctetString) {
    // OCTET STRING { SEQUENCE { INTEGER 1, OCTET STRING key } }
    const Tree inner = Decode(value->content(), value->contentLength);
    const ASN1Node* key = Child(inner.get(), 1, kOctetString);
    if (Child(inner.get(), 0, kInteger) && key && inner->identifier == kSequence) {
      out->value = Content(key);
      return S_OK;
    }
  }
  out->value = Whole(value);
  return S_OK;
}

HRESULT RenderSubject(const ASN1Node* name, std::u16string* out) {
  CERT_NAME_BLOB blob{name->encodedLength, const_cast<BYTE*>(Start(name))};
  const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG | CERT_NAME_STR_REVERSE_FLAG;
  const DWORD size = Plat().CertNameToStrW(encoding, &blob, type, nullptr, 0);
  if (size == 0) return FailedCallStatusFullRule();
  std::u16string text(size, u'\0');
  if (Plat().CertNameToStrW(encoding, &blob, type, text.data(), size) == 0)
    return FailedCallStatusFullRule();
  text.resize(size - 1);
  *out = text;
  return S_OK;
}

}  // namespace

HRESULT RequestOctets(const std::vector<BYTE>& input, std::vector<BYTE>* der) {
  if (!input.empty() && input[0] == kSequence && Decode(input.data(), input.size())) {
    *der = input;
    return S_OK;
  }
  size_t end = input.size();
  while (end > 0 && input[end - 1] == 0) --end;  // a terminator, as the methods hand it out
  for (size_t i = 0; i < end; ++i) {
    const BYTE c = input[i];
    const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
    if (!alphabet && c != '\r' && c != '\n' && c != ' ' && c != '\t') return CRYPT_E_ASN1_BADTAG;
  }
  if (end == 0 || end > 0x7FFFFFFF) return CRYPT_E_ASN1_BADTAG;
  BYTE* bytes = nullptr;
  LONG count = 0;
  const HRESULT hr =
      Base64DecodeEx(reinterpret_cast<const char*>(input.data()), static_cast<LONG>(end), &bytes,
                     &count);
  const ScopedBuffer<BYTE> holder(bytes);
  if (FAILED(hr)) return hr;
  if (count <= 0) return CRYPT_E_ASN1_BADTAG;
  der->assign(bytes, bytes + count);
  return S_OK;
}

namespace {

// The elements of a request:
// SEQUENCE { info SEQUENCE { 0, Name, SPKI, [0] }, algorithm, BIT STRING }.
struct Located {
  Tree root;
  const ASN1Node *info, *name, *spki, *keyAlgorithm, *keyOid, *key, *signatureOid, *signature;
};

HRESULT Locate(const std::vector<BYTE>& der, Located* r, std::vector<RequestAttribute>* attributes) {
  r->root = Decode(der.data(), der.size());
  if (!r->root) return CRYPT_E_ASN1_CORRUPT;
  r->info = Child(r->root.get(), 0, kSequence);
  r->signatureOid = Child(Child(r->root.get(), 1, kSequence), 0, kOid);
  r->signature = Child(r->root.get(), 2, kBitString);
  r->name = Child(r->info, 1, kSequence);
  r->spki = Child(r->info, 2, kSequence);
  r->keyAlgorithm = Child(r->spki, 0, kSequence);
  r->keyOid = Child(r->keyAlgorithm, 0, kOid);
  r->key = Child(r->spki, 1, kBitString);
  if (r->root->identifier != kSequence || !Child(r->info, 0, kInteger) || !r->name || !r->keyOid ||
      !r->key || r->key->contentLength < 1 || !r->signatureOid || !r->signature)
    return CRYPT_E_ASN1_BADTAG;
  if (r->info->children.size() > 3) {
    const ASN1Node* list = Child(r->info, 3, kAttributes);
    if (list == nullptr) return CRYPT_E_ASN1_BADTAG;
    for (const auto& node : list->children) {
      RequestAttribute attribute;
      if (HRESULT hr = ReadAttribute(node.get(), &attribute); FAILED(hr)) return hr;
      attributes->push_back(std::move(attribute));
    }
  }
  return S_OK;
}

}  // namespace

HRESULT SplitCertRequest(const std::vector<BYTE>& der, RequestParts* parts) {
  Located r;
  RequestParts out;
  if (HRESULT hr = Locate(der, &r, &out.attributes); FAILED(hr)) return hr;
  if (r.signature->contentLength < 1) return CRYPT_E_ASN1_BADTAG;
  out.info = Whole(r.info);
  out.subject = Whole(r.name);
  out.publicKeyInfo = Whole(r.spki);
  out.signatureAlgorithm = OidText(r.signatureOid);
  out.signature.assign(r.signature->content() + 1,
                       r.signature->content() + r.signature->contentLength);
  *parts = std::move(out);
  return S_OK;
}

HRESULT ReadCertRequest(const std::vector<BYTE>& der, RequestSummary* summary) {
  Located r;
  RequestSummary out;
  if (HRESULT hr = Locate(der, &r, &out.attributes); FAILED(hr)) return hr;
  const ASN1Node *keyAlgorithm = r.keyAlgorithm, *key = r.key;
  if (HRESULT hr = RenderSubject(r.name, &out.subject); FAILED(hr)) return hr;
  const std::string keyOidText = OidText(r.keyOid);
  const ASN1Node* parameter =
      keyAlgorithm->children.size() > 1 ? keyAlgorithm->children[1].get() : nullptr;
  DescribeKey(keyOidText, parameter && parameter->identifier == kOid ? OidText(parameter) : "",
              key, &out);
  out.signatureAlgorithm = SignatureName(OidText(r.signatureOid));

  CERT_PUBLIC_KEY_INFO publicKey{};
  publicKey.Algorithm.pszObjId = const_cast<char*>(keyOidText.c_str());
  if (parameter) publicKey.Algorithm.Parameters = {parameter->encodedLength,
                                                   const_cast<BYTE*>(Start(parameter))};
  publicKey.PublicKey = {key->contentLength - 1, const_cast<BYTE*>(key->content() + 1),
                         key->content()[0]};
  CRYPT_DATA_BLOB request{static_cast<DWORD>(der.size()), const_cast<BYTE*>(der.data())};
  out.signatureValid = Plat().CryptVerifyCertificateSignatureEx(
                           0, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                           CRYPT_VERIFY_CERT_SIGN_SUBJECT_BLOB, &request,
                           CRYPT_VERIFY_CERT_SIGN_ISSUER_PUBKEY, &publicKey, 0, nullptr) != FALSE;
  out.signatureStatus = out.signatureValid ? S_OK : FailedCallStatusFullRule();
  *summary = std::move(out);
  return S_OK;
}
