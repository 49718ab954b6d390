// CertNameToStrW: an encoded X.500 name as text, with the platform's short
// keys, separators, quoting and value decoding.
#include <cstring>
#include <string>
#include <vector>

#include "encoding/Unicode.h"
#include "platform/soft/SoftTable.h"

namespace {

struct Tlv {
  BYTE tag = 0;
  const BYTE* content = nullptr;
  size_t length = 0;
  const BYTE* start = nullptr;  // the whole element
  size_t total = 0;
};

// Reads one DER element at `p` (definite lengths only, within `end`).
bool ReadTlv(const BYTE*& p, const BYTE* end, Tlv* out) {
  if (end - p < 2) return false;
  out->start = p;
  out->tag = *p++;
  if ((out->tag & 0x1F) == 0x1F) return false;  // no high tag numbers in names
  size_t len = *p++;
  if (len & 0x80) {
    const size_t n = len & 0x7F;
    if (n == 0 || n > 4 || static_cast<size_t>(end - p) < n) return false;
    len = 0;
    for (size_t i = 0; i < n; ++i) len = (len << 8) | *p++;
  }
  if (static_cast<size_t>(end - p) < len) return false;
  out->content = p;
  out->length = len;
  p += len;
  out->total = static_cast<size_t>(p - out->start);
  return true;
}

bool OidToText(const Tlv& oid, std::string* text) {
  if (oid.tag != 0x06 || oid.length == 0) return false;
  uint64_t v = 0;
  bool first = true;
  for (size_t i = 0; i < oid.length; ++i) {
    if (v > (UINT64_MAX >> 7)) return false;
    v = (v << 7) | (oid.content[i] & 0x7F);
    if (oid.content[i] & 0x80) continue;
    if (first) {
      const uint64_t arc0 = v < 40 ? 0 : v < 80 ? 1 : 2;
      *text = std::to_string(arc0) + "." + std::to_string(v - arc0 * 40);
      first = false;
    } else {
      text->push_back('.');
      text->append(std::to_string(v));
    }
    v = 0;
  }
  return (oid.content[oid.length - 1] & 0x80) == 0;
}

struct ShortKey {
  const char* oid;
  const char16_t* key;
};

// The platform's X.500 short keys.
const ShortKey kKeys[] = {
    {"2.5.4.3", u"CN"},           {"2.5.4.7", u"L"},
    {"2.5.4.10", u"O"},           {"2.5.4.11", u"OU"},
    {"1.2.840.113549.1.9.1", u"E"}, {"2.5.4.6", u"C"},
    {"2.5.4.8", u"S"},            {"2.5.4.9", u"STREET"},
    {"2.5.4.12", u"T"},           {"2.5.4.42", u"G"},
    {"2.5.4.43", u"I"},           {"2.5.4.4", u"SN"},
    {"0.9.2342.19200300.100.1.25", u"DC"}, {"2.5.4.5", u"SERIALNUMBER"},
    {"2.5.4.13", u"Description"}, {"2.5.4.17", u"PostalCode"},
    {"2.5.4.18", u"POBox"},       {"2.5.4.20", u"Phone"},
    {"2.5.4.24", u"X21Address"},  {"2.5.4.46", u"dnQualifier"},
    {"1.2.840.113549.1.9.2", u"UnstructuredName"},
    {"1.2.840.113549.1.9.8", u"UnstructuredAddress"},
    {"0.9.2342.19200300.100.1.1", u"UID"},
};

std::u16string KeyOf(const std::string& oid) {
  for (const ShortKey& k : kKeys)
    if (oid == k.oid) return k.key;
  return u"OID." + Utf8ToUtf16(oid);
}

bool ValidUtf8(const BYTE* p, size_t n) {
  const std::string s(reinterpret_cast<const char*>(p), n);
  return Utf16ToUtf8(Utf8ToUtf16(s)) == s;
}

std::u16string Hex(const BYTE* p, size_t n) {
  static const char16_t digits[] = u"0123456789ABCDEF";
  std::u16string s = u"#";
  for (size_t i = 0; i < n; ++i) s += digits[p[i] >> 4], s += digits[p[i] & 15];
  return s;
}

// The value as text: string types decoded into UTF-16, anything else as
// "#" and the hexadecimal of its encoding.
std::u16string ValueText(const Tlv& v) {
  const BYTE* p = v.content;
  const size_t n = v.length;
  std::u16string out;
  switch (v.tag) {
    case 0x0C:  // UTF8String
      return Utf8ToUtf16(std::string(reinterpret_cast<const char*>(p), n));
    case 0x1E:  // BMPString: big-endian UCS-2
      if (n % 2) break;
      for (size_t i = 0; i < n; i += 2) out += static_cast<char16_t>((p[i] << 8) | p[i + 1]);
      return out;
    case 0x1C: {  // UniversalString: big-endian UCS-4
      if (n % 4) break;
      std::string utf8;
      for (size_t i = 0; i < n; i += 4) {
        const uint32_t c = (uint32_t{p[i]} << 24) | (uint32_t{p[i + 1]} << 16) |
                           (uint32_t{p[i + 2]} << 8) | p[i + 3];
        char32_t one[2] = {static_cast<char32_t>(c), 0};
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) one[0] = 0xFFFD;
        if (one[0] < 0x10000) {
          out += static_cast<char16_t>(one[0]);
        } else {
          out += static_cast<char16_t>(0xD800 + ((one[0] - 0x10000) >> 10));
          out += static_cast<char16_t>(0xDC00 + ((one[0] - 0x10000) & 0x3FF));
        }
      }
      return out;
    }
    case 0x14:  // TeletexString: UTF-8 when it is, else Latin-1
      if (ValidUtf8(p, n)) return Utf8ToUtf16(std::string(reinterpret_cast<const char*>(p), n));
      [[fallthrough]];
    case 0x12:  // NumericString
    case 0x13:  // PrintableString
    case 0x15:  // VideotexString
    case 0x16:  // IA5String
    case 0x19:  // GraphicString
    case 0x1A:  // VisibleString
    case 0x1B:  // GeneralString
      for (size_t i = 0; i < n; ++i) out += static_cast<char16_t>(p[i]);
      return out;
    default:
      break;
  }
  return Hex(v.start, v.total);
}

// The platform quotes a value with a separator or special character in it,
// or white space at either end, doubling inner quotes.
std::u16string Quoted(const std::u16string& value) {
  bool quote = value.empty() || value.front() == u' ' || value.back() == u' ';
  for (char16_t c : value)
    quote = quote || std::u16string_view(u",+=\"\n<>#;\r").find(c) != std::u16string_view::npos;
  if (!quote) return value;
  std::u16string out = u"\"";
  for (char16_t c : value) {
    if (c == u'"') out += u'"';
    out += c;
  }
  return out + u"\"";
}

// The text of a Name; false when it is not a well-formed Name.
bool NameText(const BYTE* data, size_t size, DWORD strType, std::u16string* text) {
  const BYTE* p = data;
  const BYTE* end = data + size;
  Tlv name;
  if (!ReadTlv(p, end, &name) || name.tag != 0x30 || p != end) return false;
  std::vector<std::u16string> rdns;
  const BYTE* q = name.content;
  const BYTE* qEnd = name.content + name.length;
  const DWORD format = strType & 0xFFFF;
  std::u16string plus = strType & CERT_NAME_STR_NO_PLUS_FLAG ? u" " : u" + ";
  while (q < qEnd) {
    Tlv rdn;
    if (!ReadTlv(q, qEnd, &rdn) || rdn.tag != 0x31) return false;
    std::u16string rdnText;
    const BYTE* a = rdn.content;
    const BYTE* aEnd = rdn.content + rdn.length;
    while (a < aEnd) {
      Tlv attr, oid, value;
      if (!ReadTlv(a, aEnd, &attr) || attr.tag != 0x30) return false;
      const BYTE* f = attr.content;
      const BYTE* fEnd = attr.content + attr.length;
      std::string oidText;
      if (!ReadTlv(f, fEnd, &oid) || !OidToText(oid, &oidText) || !ReadTlv(f, fEnd, &value) ||
          f != fEnd)
        return false;
      std::u16string v = ValueText(value);
      if (!(strType & CERT_NAME_STR_NO_QUOTING_FLAG)) v = Quoted(v);
      if (!rdnText.empty()) rdnText += plus;
      if (format == CERT_X500_NAME_STR) rdnText += KeyOf(oidText) + u"=";
      else if (format == CERT_OID_NAME_STR) rdnText += Utf8ToUtf16(oidText) + u"=";
      rdnText += v;
    }
    rdns.push_back(std::move(rdnText));
  }
  std::u16string separator = u", ";
  if (strType & CERT_NAME_STR_SEMICOLON_FLAG) separator = u"; ";
  else if (strType & CERT_NAME_STR_CRLF_FLAG) separator = u"\r\n";
  const bool reverse = (strType & CERT_NAME_STR_REVERSE_FLAG) != 0;
  text->clear();
  for (size_t i = 0; i < rdns.size(); ++i) {
    if (i) *text += separator;
    *text += rdns[reverse ? rdns.size() - 1 - i : i];
  }
  return true;
}

// Size query (no buffer or size 0): the characters needed with the
// terminator. Fill: as much as fits, always terminated; the characters
// written with the terminator. A name that does not decode is the empty
// text (1, the last error says why), as the platform answers.
DWORD CertNameToStrWImpl(DWORD, const CERT_NAME_BLOB* name, DWORD strType, char16_t* text,
                         DWORD textSize) {
  std::u16string result;
  if (name == nullptr || (name->cbData != 0 && name->pbData == nullptr)) {
    SoftSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (name->cbData != 0 && !NameText(name->pbData, name->cbData, strType, &result)) {
    result.clear();
    SoftSetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
  }
  const DWORD need = static_cast<DWORD>(result.size() + 1);
  if (text == nullptr || textSize == 0) return need;
  const DWORD n = need <= textSize ? need : textSize;
  std::memcpy(text, result.data(), (n - 1) * sizeof(char16_t));
  text[n - 1] = 0;
  return n;
}

}  // namespace

void SoftFillCertNames(Platform& t) { t.CertNameToStrW = &CertNameToStrWImpl; }
