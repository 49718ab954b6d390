// Status texts in both languages, and the 511-character bound.
#include <gtest/gtest.h>

#include "control/ErrorText.h"
#include "encoding/Unicode.h"
#include "support/AgentFixture.h"
#include "support/FaultPlatform.h"

namespace {

// A system code (\r\n before the suffix), the provider's, our own codes in
// two ranges, and codes without a text; the key-algorithm text is in the
// locale table below, the success text in DispatchTest.
const struct { uint32_t status; const char *english, *chinese; } kRows[] = {
    {0x80070057, "The parameter is incorrect.\r\n\n(0x80070057)", "参数错误。\r\n\n(0x80070057)"},
    {0x80090016, "Keyset does not exist\r\n\n(0x80090016)", "密钥集不存在\r\n\n(0x80090016)"},
    {0xA0072400, "Key length is not supported.\n(0xa0072400)", "密钥长度不支持\n(0xa0072400)"},
    {0xA0071402, "XML file parse failed.\n(0xa0071402)", "XML文件解析失败\n(0xa0071402)"},
    // Customer bit with no string of that id: the suffix alone.
    {0xA0070BAD, "\n(0xa0070bad)", "\n(0xa0070bad)"},
    // A code the platform has no text for.
    {0x8BADF00D, "\n(0x8badf00d)", "\n(0x8badf00d)"},
};

TEST(DescribeStatus, EnglishAndSimplifiedChineseTexts) {
  ScopedEnv all("LC_ALL", nullptr), msg("LC_MESSAGES", nullptr);
  for (const bool chinese : {false, true}) {
    ScopedEnv lang("LANG", chinese ? "zh_CN.UTF-8" : "en_US.UTF-8");
    for (const auto& r : kRows)
      EXPECT_EQ(Utf16ToUtf8(DescribeStatus(static_cast<HRESULT>(r.status))),
                chinese ? r.chinese : r.english)
          << std::hex << r.status;
  }
}

TEST(DescribeStatus, LanguageFollowsTheFirstSetLocaleVariable) {
  const char* key = "Invalid key algorithm.\n(0xa0072401)";
  const char* zh = "无效的密钥算法\n(0xa0072401)";
  const struct { const char *all, *messages, *lang, *expected; } rows[] = {
      {nullptr, nullptr, "zh_SG", zh},
      {nullptr, nullptr, "zh_Hans_CN", zh},
      {nullptr, nullptr, "zh_TW.UTF-8", key},  // traditional: English
      {"C", nullptr, "zh_CN.UTF-8", key},      // LC_ALL wins
      {nullptr, "zh_CN.UTF-8", "en_US", zh},   // then LC_MESSAGES
      {nullptr, nullptr, nullptr, key},
  };
  for (const auto& r : rows) {
    ScopedEnv all("LC_ALL", r.all), msg("LC_MESSAGES", r.messages), lang("LANG", r.lang);
    EXPECT_EQ(Utf16ToUtf8(DescribeStatus(static_cast<HRESULT>(0xA0072401))), r.expected);
  }
}

// A platform whose system text is longer than the buffer leaves room for.
DWORD LongSystemText(DWORD, const void*, DWORD, DWORD, char16_t* buffer, DWORD size, void*) {
  for (DWORD i = 0; i + 1 < size; ++i) buffer[i] = u'x';
  buffer[size - 1] = 0;
  return size - 1;
}

TEST(DescribeStatus, LongTextIsCutSoTheSuffixFits) {
  FaultPlatform platform;
  platform.table.FormatMessageW = &LongSystemText;
  const std::u16string text = DescribeStatus(static_cast<HRESULT>(0x80070057));
  ASSERT_EQ(text.size(), 511u);
  EXPECT_EQ(Utf16ToUtf8(text.substr(text.size() - 13)), "\n(0x80070057)");
  EXPECT_EQ(text[0], u'x');
}

}  // namespace
