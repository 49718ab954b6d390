// Status codes from error codes; their texts in both languages.
#include <gtest/gtest.h>

#include "base/Status.h"
#include "control/ErrorText.h"
#include "encoding/Unicode.h"
#include "support/AgentFixture.h"

namespace {

// A system code (\r\n before the suffix), the provider's, our own codes in
// two ranges, and codes without a text.
const struct { uint32_t status; const char *english, *chinese; } kRows[] = {
    {0x80070057, "The parameter is incorrect.\r\n\n(0x80070057)", "参数错误。\r\n\n(0x80070057)"},
    {0x80090016, "Keyset does not exist\r\n\n(0x80090016)", "密钥集不存在\r\n\n(0x80090016)"},
    {0xA0072400, "Key length is not supported.\n(0xa0072400)", "密钥长度不支持\n(0xa0072400)"},
    {0xA0071402, "XML file parse failed.\n(0xa0071402)", "XML文件解析失败\n(0xa0071402)"},
    {0xA0070BAD, "\n(0xa0070bad)", "\n(0xa0070bad)"},  // customer bit, no string of that id
    {0x8BADF00D, "\n(0x8badf00d)", "\n(0x8badf00d)"},
};

TEST(DescribeStatus, EnglishAndSimplifiedChineseTexts) {
  ScopedEnv all("LC_ALL", nullptr), msg("LC_MESSAGES", nullptr);
  for (const bool chinese : {false, true}) {
    ScopedEnv lang("LANG", chinese ? "zh_CN.UTF-8" : "en_US.UTF-8");
    for (const auto& r : kRows)
      EXPECT_EQ(Utf16ToUtf8(DescribeStatus(static_cast<HRESULT>(r.status))), chinese ? r.chinese : r.english);
  }
}

// The last-error status rule (full) and its second branch alone (win32).
const struct { DWORD error; uint32_t full, win32; } kStatusRows[] = {
    {0, 0x00000000, 0x00000000},                    // success stays 0
    {0x12345, 0x80072345, 0x80072345},              // only the low 16 bits are kept
    {0x20072401, 0xA0072401, 0x80072401},           // customer bit, higher bits dropped
    {0x80090016, 0x80090016, 0x80090016},           // NTE_BAD_KEYSET passes unchanged
};

TEST(StatusRules, FullAndWin32RulesPerRow) {
  for (const auto& r : kStatusRows) {
    EXPECT_EQ(static_cast<uint32_t>(StatusFromErrorFullRule(r.error)), r.full) << std::hex << r.error;
    EXPECT_EQ(static_cast<uint32_t>(StatusFromErrorWin32Rule(r.error)), r.win32) << std::hex << r.error;
  }
}

}  // namespace
