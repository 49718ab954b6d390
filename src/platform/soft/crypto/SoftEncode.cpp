// The soft platform's structure encoder (CryptEncodeObject) for the
// structures the control lets the platform encode: X509_ANY_STRING,
// PKCS_ATTRIBUTE and X509_BITS. Size query, ERROR_MORE_DATA and the
// character-set failures follow the platform's documented behaviour.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "encoding/Unicode.h"
#include "platform/soft/SoftTable.h"

namespace {

using Bytes = std::vector<BYTE>;

// Failure of one encoder: the last error to set.
struct EncodeError {
  DWORD error;
};

void AppendLength(Bytes& out, size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<BYTE>(length));
    return;
  }
  int k = 0;
  for (size_t v = length; v != 0; v >>= 8) ++k;
  out.push_back(static_cast<BYTE>(0x80 | k));
  for (int i = k - 1; i >= 0; --i) out.push_back(static_cast<BYTE>(length >> (8 * i)));
}

void AppendElement(Bytes& out, BYTE tag, const BYTE* content, size_t length) {
  out.push_back(tag);
  AppendLength(out, length);
  if (length != 0) out.insert(out.end(), content, content + length);
}

void AppendElement(Bytes& out, BYTE tag, const Bytes& content) {
  AppendElement(out, tag, content.data(), content.size());
}

// One arc in base 128, most significant group first, 0x80 on all but the last.
void AppendArc(Bytes& out, uint64_t arc) {
  BYTE groups[10];
  int n = 0;
  do {
    groups[n++] = static_cast<BYTE>(arc & 0x7F);
    arc >>= 7;
  } while (arc != 0);
  while (n > 1) out.push_back(static_cast<BYTE>(groups[--n] | 0x80));
  out.push_back(groups[0]);
}

// The OBJECT IDENTIFIER element of dotted-decimal text. Refuses null, empty
// and malformed text (non-digits, empty arcs, fewer than two arcs, a first
// arc above 2, a second arc above 39 under 0 or 1, arcs beyond 64 bits).
bool EncodeOid(const char* text, Bytes& out) {
  if (text == nullptr || *text == 0) return false;
  std::vector<uint64_t> arcs;
  uint64_t arc = 0;
  bool digits = false;
  for (const char* p = text;; ++p) {
    if (*p >= '0' && *p <= '9') {
      const uint64_t d = static_cast<uint64_t>(*p - '0');
      if (arc > (UINT64_MAX - d) / 10) return false;
      arc = arc * 10 + d;
      digits = true;
    } else if (*p == '.' || *p == 0) {
      if (!digits) return false;
      arcs.push_back(arc);
      arc = 0;
      digits = false;
      if (*p == 0) break;
    } else {
      return false;
    }
  }
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39)) return false;
  if (arcs[1] > UINT64_MAX - 80) return false;
  Bytes content;
  AppendArc(content, arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < arcs.size(); ++i) AppendArc(content, arcs[i]);
  AppendElement(out, 0x06, content);
  return true;
}

bool IsPrintableChar(BYTE c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return std::strchr(" '()+,-./:=?", c) != nullptr && c != 0;
}
bool IsIA5Char(BYTE c) { return c < 0x80; }
bool IsNumericChar(BYTE c) { return (c >= '0' && c <= '9') || c == ' '; }
bool AnyChar(BYTE) { return true; }

// The UTF-16 text of a value: `cbData` bytes, or up to its terminator when
// cbData is 0, as the platform reads Unicode values.
std::u16string WideValue(const CERT_RDN_VALUE_BLOB& value) {
  std::u16string text;
  if (value.pbData == nullptr) return text;
  const size_t units = value.cbData / 2;
  for (size_t i = 0; value.cbData != 0 ? i < units : true; ++i) {
    char16_t unit;
    std::memcpy(&unit, value.pbData + 2 * i, sizeof unit);  // may be unaligned
    if (value.cbData == 0 && unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

// X509_ANY_STRING: CERT_NAME_VALUE -> one string element.
void EncodeAnyString(const CERT_NAME_VALUE& v, Bytes& out) {
  struct ByteString {
    DWORD type;
    BYTE tag;
    bool (*valid)(BYTE);
    DWORD error;
  };
  static const ByteString kByteStrings[] = {
      {CERT_RDN_OCTET_STRING, 0x04, AnyChar, 0},
      {CERT_RDN_NUMERIC_STRING, 0x12, IsNumericChar,
       static_cast<DWORD>(CRYPT_E_INVALID_NUMERIC_STRING)},
      {CERT_RDN_PRINTABLE_STRING, 0x13, IsPrintableChar,
       static_cast<DWORD>(CRYPT_E_INVALID_PRINTABLE_STRING)},
      {CERT_RDN_TELETEX_STRING, 0x14, AnyChar, 0},
      {CERT_RDN_VIDEOTEX_STRING, 0x15, AnyChar, 0},
      {CERT_RDN_IA5_STRING, 0x16, IsIA5Char, static_cast<DWORD>(CRYPT_E_INVALID_IA5_STRING)},
      {CERT_RDN_GRAPHIC_STRING, 0x19, AnyChar, 0},
      {CERT_RDN_VISIBLE_STRING, 0x1A, AnyChar, 0},
      {CERT_RDN_GENERAL_STRING, 0x1B, AnyChar, 0},
  };
  if (v.Value.cbData != 0 && v.Value.pbData == nullptr) throw EncodeError{ERROR_INVALID_PARAMETER};
  for (const ByteString& s : kByteStrings) {
    if (s.type != v.dwValueType) continue;
    for (DWORD i = 0; i < v.Value.cbData; ++i)
      if (!s.valid(v.Value.pbData[i])) throw EncodeError{s.error};
    AppendElement(out, s.tag, v.Value.pbData, v.Value.cbData);
    return;
  }
  if (v.dwValueType == CERT_RDN_UTF8_STRING) {
    const std::string utf8 = Utf16ToUtf8(WideValue(v.Value));
    AppendElement(out, 0x0C, reinterpret_cast<const BYTE*>(utf8.data()), utf8.size());
    return;
  }
  if (v.dwValueType == CERT_RDN_BMP_STRING) {
    Bytes be;
    for (char16_t unit : WideValue(v.Value)) {
      be.push_back(static_cast<BYTE>(unit >> 8));
      be.push_back(static_cast<BYTE>(unit));
    }
    AppendElement(out, 0x1E, be);
    return;
  }
  throw EncodeError{ERROR_CALL_NOT_IMPLEMENTED};  // value types this platform does not write
}

// PKCS_ATTRIBUTE: SEQUENCE { OID, SET OF values }; the values are complete
// encodings, put in DER SET OF order (by their octets).
void EncodeAttribute(const CRYPT_ATTRIBUTE& a, Bytes& out) {
  Bytes content;
  if (!EncodeOid(a.pszObjId, content)) throw EncodeError{static_cast<DWORD>(CRYPT_E_OID_FORMAT)};
  if (a.cValue != 0 && a.rgValue == nullptr) throw EncodeError{ERROR_INVALID_PARAMETER};
  std::vector<const CRYPT_ATTR_BLOB*> values;
  for (DWORD i = 0; i < a.cValue; ++i) {
    if (a.rgValue[i].cbData != 0 && a.rgValue[i].pbData == nullptr)
      throw EncodeError{ERROR_INVALID_PARAMETER};
    values.push_back(&a.rgValue[i]);
  }
  std::stable_sort(values.begin(), values.end(), [](const auto* x, const auto* y) {
    const int c = std::memcmp(x->pbData, y->pbData, std::min(x->cbData, y->cbData));
    return c != 0 ? c < 0 : x->cbData < y->cbData;
  });
  Bytes set;
  for (const CRYPT_ATTR_BLOB* v : values)
    if (v->cbData != 0) set.insert(set.end(), v->pbData, v->pbData + v->cbData);
  AppendElement(content, 0x31, set);
  AppendElement(out, 0x30, content);
}

// X509_BITS: BIT STRING with the unused-bit count first; unused bits of the
// last octet are written as zero.
void EncodeBits(const CRYPT_BIT_BLOB& b, Bytes& out) {
  if ((b.cbData != 0 && b.pbData == nullptr) || b.cUnusedBits > 7 ||
      (b.cbData == 0 && b.cUnusedBits != 0))
    throw EncodeError{ERROR_INVALID_PARAMETER};
  Bytes content;
  content.push_back(static_cast<BYTE>(b.cUnusedBits));
  if (b.cbData != 0) {
    content.insert(content.end(), b.pbData, b.pbData + b.cbData);
    content.back() = static_cast<BYTE>(content.back() & (0xFF << b.cUnusedBits));
  }
  AppendElement(out, 0x03, content);
}

BOOL Fail(DWORD error) {
  SoftSetLastError(error);
  return FALSE;
}

BOOL CryptEncodeObjectImpl(DWORD encodingType, const char* structType, const void* info,
                           BYTE* encoded, DWORD* encodedLen) {
  if (encodedLen == nullptr || info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if ((encodingType & 0xFFFF) != X509_ASN_ENCODING) return Fail(ERROR_FILE_NOT_FOUND);
  Bytes out;
  try {
    const uintptr_t type = reinterpret_cast<uintptr_t>(structType);
    if (type == reinterpret_cast<uintptr_t>(X509_ANY_STRING))
      EncodeAnyString(*static_cast<const CERT_NAME_VALUE*>(info), out);
    else if (type == reinterpret_cast<uintptr_t>(PKCS_ATTRIBUTE))
      EncodeAttribute(*static_cast<const CRYPT_ATTRIBUTE*>(info), out);
    else if (type == reinterpret_cast<uintptr_t>(X509_BITS))
      EncodeBits(*static_cast<const CRYPT_BIT_BLOB*>(info), out);
    else
      return Fail(ERROR_CALL_NOT_IMPLEMENTED);  // structures this platform does not encode
  } catch (const EncodeError& e) {
    return Fail(e.error);
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (out.size() > 0xFFFFFFFFu) return Fail(ERROR_INVALID_DATA);
  const DWORD size = static_cast<DWORD>(out.size());
  if (encoded == nullptr) {
    *encodedLen = size;
    return TRUE;
  }
  if (*encodedLen < size) {
    *encodedLen = size;
    return Fail(ERROR_MORE_DATA);
  }
  std::memcpy(encoded, out.data(), size);
  *encodedLen = size;
  return TRUE;
}

}  // namespace

void SoftFillEncode(Platform& t) { t.CryptEncodeObject = &CryptEncodeObjectImpl; }
