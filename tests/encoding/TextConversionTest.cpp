// UTF-16 / UTF-8 conversions, byte reversal and the reversed hexadecimal
// rendering; platform conversion failures through a wrapping table.
#include <gtest/gtest.h>

#include <string>

#include "encoding/Buffer.h"
#include "encoding/TextConversion.h"
#include "support/DerTestSupport.h"
#include "support/FaultPlatform.h"

namespace {

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
      {true, u"", ""},
      {true, u"Test", "Test"},
      {true, u"\u00E9", "\xC3\xA9"},
      {true, u"\u4E2D\u6587", "\xE4\xB8\xAD\xE6\x96\x87"},
      {true, u"\U0001F600", "\xF0\x9F\x98\x80"},  // surrogate pair: 4 octets
      {true, u"a\xD800" u"b", "a\xEF\xBF\xBD" "b"},  // unpaired high surrogate
      {true, u"\xDC00", "\xEF\xBF\xBD"},  // unpaired low surrogate
      {false, u"", ""},
      {false, u"Test", "Test"},
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

TEST(TextConversion, NullTextIsRefused) {
  char* out = reinterpret_cast<char*>(0x1);
  DWORD length = 0;
  EXPECT_EQ(UTF16ToUTF8(nullptr, &out, &length), E_POINTER);
  EXPECT_EQ(out, reinterpret_cast<char*>(0x1));
  char16_t* wide = reinterpret_cast<char16_t*>(0x1);
  EXPECT_EQ(UTF8ToUTF16(nullptr, &wide, &length), E_POINTER);
  EXPECT_EQ(wide, reinterpret_cast<char16_t*>(0x1));
}

TEST(TextConversion, PlatformFailureIsTheLastError) {
  FaultPlatform platform;
  static int s_failOnCall;
  static int s_calls;
  platform.table.WideCharToMultiByte = [](UINT cp, DWORD flags, const char16_t* text, int n,
                                          char* buffer, int size, const char* d, BOOL* u) {
    if (++s_calls == s_failOnCall) {
      Plat().SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    return DefaultPlatform().WideCharToMultiByte(cp, flags, text, n, buffer, size, d, u);
  };
  for (int failOn : {1, 2}) {
    s_calls = 0;
    s_failOnCall = failOn;
    char* out = nullptr;
    DWORD length = 0;
    EXPECT_EQ(UTF16ToUTF8(u"abc", &out, &length), static_cast<HRESULT>(0x8007007A));
    EXPECT_EQ(out == nullptr, failOn == 1);  // a second-call failure hands out the buffer
    FreeBuffer(out);
  }
  // A failure without a last error is still a failure.
  platform.table.MultiByteToWideChar = [](UINT, DWORD, const char*, int, char16_t*, int) {
    Plat().SetLastError(0);
    return 0;
  };
  char16_t* wide = nullptr;
  DWORD length = 0;
  EXPECT_EQ(UTF8ToUTF16("abc", &wide, &length), E_FAIL);
  EXPECT_EQ(wide, nullptr);
}

// The bytes reversed in place, and the lower-case hexadecimal text of the
// reversed bytes.
TEST(TextConversion, SwapByteOrderAndBinaryText) {
  const struct { const char* in; const char* out; const char16_t* text; } cases[] = {
      {"", "", u""}, {"01", "01", u"01"}, {"00", "00", u"00"}, {"01 AB", "AB 01", u"ab01"},
      {"0F F0 10", "10 F0 0F", u"10f00f"}, {"01 02 03 04", "04 03 02 01", u"04030201"},
  };
  for (const auto& c : cases) {
    Bytes b = FromHex(c.in);
    char16_t* text = nullptr;
    ASSERT_EQ(ConvertBinaryDataToString(b.data(), static_cast<DWORD>(b.size()), &text), S_OK);
    EXPECT_EQ(std::u16string(text), c.text);
    FreeBuffer(text);
    SwapByteOrder(b.data(), static_cast<DWORD>(b.size()));
    EXPECT_EQ(ToHex(b), c.out);
  }
}

}  // namespace
