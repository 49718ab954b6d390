// Text: Base64's line and padding rules, the lenient decoder and agreement
// with OpenSSL's EVP_EncodeBlock; UTF-16 / UTF-8 conversions.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "encoding/Base64.h"
#include "encoding/Buffer.h"
#include "encoding/TextConversion.h"
#include "support/DerTestSupport.h"

namespace {

struct Encoded { HRESULT status; std::string text; };

Encoded Encode(const Bytes& data, DWORD flags) {
  char* text = nullptr;
  DWORD length = 0xDEAD;
  const HRESULT hr =
      Base64EncodeEx(data.data(), static_cast<DWORD>(data.size()), &text, &length, flags);
  Encoded e{hr, ""};
  if (text != nullptr) {
    e.text.assign(text, length);
    EXPECT_EQ(text[length], 0);  // terminated
  }
  FreeBuffer(text);
  return e;
}

struct Decoded { HRESULT status; Bytes bytes; };

Decoded Decode(const std::string& text) {
  BYTE* bytes = nullptr;
  LONG count = -1;
  const HRESULT hr = Base64DecodeEx(text.data(), static_cast<LONG>(text.size()), &bytes, &count);
  Decoded d{hr, {}};
  if (bytes != nullptr) d.bytes.assign(bytes, bytes + count);
  FreeBuffer(bytes);
  return d;
}

Bytes Sequence(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i * 7 + 3);
  return b;
}

// OpenSSL's one-line padded text of the same bytes.
std::string OpenSslEncode(const Bytes& data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(),
                                static_cast<int>(data.size()));
  out.resize(n);
  return out;
}

std::string Unbroken(std::string text) {
  std::string out;
  for (char c : text)
    if (c != '\r' && c != '\n') out += c;
  return out;
}

// Lines of 76 characters; once the breaks are removed, OpenSSL's text
// (its padding dropped with B64_NO_PAD).
TEST(Base64, LinesOf76Characters) {
  const struct {
    size_t length;
    DWORD flags;
    std::vector<size_t> lines;  // characters per line
  } cases[] = {
      {57, 0, {76}},         {58, 0, {76, 4}},         {114, 0, {76, 76}},
      {115, 0, {76, 76, 4}}, {58, B64_NO_PAD, {76, 2}}, {300, B64_NO_CRLF, {400}},
      {301, B64_NO_CRLF | B64_NO_PAD, {402}},          {1, 0, {4}},
      {1, B64_NO_PAD, {2}},  {0, 0, {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + " bytes, flags " + std::to_string(c.flags));
    const Bytes data = Sequence(c.length);
    const Encoded e = Encode(data, c.flags);
    ASSERT_EQ(e.status, S_OK);
    std::vector<size_t> lines;
    size_t start = 0;
    for (size_t pos; (pos = e.text.find("\r\n", start)) != std::string::npos; start = pos + 2)
      lines.push_back(pos - start);
    lines.push_back(e.text.size() - start);
    EXPECT_EQ(lines, c.lines);
    std::string expected = OpenSslEncode(data);
    if (c.flags & B64_NO_PAD) expected.erase(expected.find_last_not_of('=') + 1);
    EXPECT_EQ(Unbroken(e.text), expected);
  }
}

TEST(Base64, LenientDecoder) {
  const struct { const char* name; std::string text; const char* bytes; } cases[] = {
      {"unpadded", "QQ", "41"},
      {"spaces, line break, padding", "Q Q\r\n==", "41"},
      {"one character", "Q", ""},
      {"padding inside", "QQ==QUJD", "41 04 14 24"},
      {"repeated padding", "QUJD====", "41 42 43"},
      {"high bytes skipped", "QU\xC3\xA9JD", "41 42 43"},
      {"zero inside a group is skipped", std::string("QU\0JD", 5), "41 42 43"},
      {"zero at a group start ends", std::string("QUJD\0QUJD", 9), "41 42 43"},
      {"only junk", "=\r\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = Decode(c.text);
    EXPECT_EQ(d.status, S_OK);
    EXPECT_EQ(ToHex(d.bytes), c.bytes);
  }
}

TEST(Base64, Refusals) {
  BYTE* bytes = reinterpret_cast<BYTE*>(0x1);
  LONG count = 0;
  EXPECT_EQ(Base64DecodeEx("QQ==", -4, &bytes, &count), E_FAIL);
  EXPECT_EQ(bytes, reinterpret_cast<BYTE*>(0x1));  // untouched

  char* text = nullptr;
  DWORD length = 0;
  const BYTE one = 0;
  // 4n must stay within 2^31 - 1: 536,870,912 bytes are refused before any
  // read or allocation.
  EXPECT_EQ(Base64EncodeEx(&one, 536870912u, &text, &length, 0), E_FAIL);
  EXPECT_EQ(text, nullptr);
}

// Runs one conversion and takes its terminated output; empty on failure.
template <typename Out, typename In, typename Convert>
std::basic_string<Out> Converted(const In* text, HRESULT* status, Convert convert) {
  Out* out = nullptr;
  DWORD length = 0xDEAD;
  *status = convert(text, &out, &length);
  std::basic_string<Out> s;
  if (out != nullptr && *status == S_OK) {
    s.assign(out, length);
    EXPECT_EQ(out[length], 0);
  }
  FreeBuffer(out);
  return s;
}
std::string ToUtf8(const char16_t* text, HRESULT* status) {
  return Converted<char>(text, status, UTF16ToUTF8);
}
std::u16string ToUtf16(const char* text, HRESULT* status) {
  return Converted<char16_t>(text, status, UTF8ToUTF16);
}

// Each row one direction: UTF-16 to UTF-8 when `toUtf8`, else back.
TEST(TextConversion, Utf16AndUtf8) {
  const struct { bool toUtf8; const char16_t* text; const char* utf8; } cases[] = {
      {true, u"\u00E9", "\xC3\xA9"},
      {true, u"\u4E2D\u6587", "\xE4\xB8\xAD\xE6\x96\x87"},
      {true, u"\U0001F600", "\xF0\x9F\x98\x80"},  // surrogate pair: 4 octets
      {true, u"a\xD800" u"b", "a\xEF\xBF\xBD" "b"},  // unpaired high surrogate
      {true, u"\xDC00", "\xEF\xBF\xBD"},  // unpaired low surrogate
      {false, u"\u4E2D", "\xE4\xB8\xAD"},
      {false, u"\U0001F600", "\xF0\x9F\x98\x80"},
      {false, u"a\xFFFD" u"b", "a\xFF" "b"},  // invalid octet
      {false, u"\xFFFD\xFFFD", "\xC0\xAF"},  // overlong form
      {false, u"\xFFFD", "\xE4\xB8"},        // cut sequence at the end
  };
  for (const auto& c : cases) {
    HRESULT hr;
    if (c.toUtf8) {
      EXPECT_EQ(ToUtf8(c.text, &hr), c.utf8);
    } else {
      EXPECT_EQ(ToUtf16(c.utf8, &hr), c.text) << c.utf8;
    }
    EXPECT_EQ(hr, S_OK);
  }
}

}  // namespace
