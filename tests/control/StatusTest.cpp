#include <gtest/gtest.h>

#include "base/Status.h"

namespace {

// The last-error status rule (full) and its second branch alone (win32).
const struct { DWORD error; uint32_t full, win32; } kRows[] = {
    {0, 0x00000000, 0x00000000},                    // success stays 0
    {2, 0x80070002, 0x80070002},                    // ERROR_FILE_NOT_FOUND
    {5, 0x80070005, 0x80070005},                    // ERROR_ACCESS_DENIED
    {0x12345, 0x80072345, 0x80072345},              // only the low 16 bits are kept
    {0x20001041, 0xA0071041, 0x80071041},           // customer bit: own code
    {0x20072401, 0xA0072401, 0x80072401},           // customer bit, higher bits dropped
    {0x80090016, 0x80090016, 0x80090016},           // NTE_BAD_KEYSET passes unchanged
    {0xA0072400, 0xA0072400, 0xA0072400},           // negative own code passes unchanged
    {0x7FFFFFFF, 0xA007FFFF, 0x8007FFFF},           // largest positive, customer bit set
};

TEST(StatusRules, FullAndWin32RulesPerRow) {
  for (const auto& r : kRows) {
    EXPECT_EQ(static_cast<uint32_t>(StatusFromErrorFullRule(r.error)), r.full)
        << std::hex << r.error;
    EXPECT_EQ(static_cast<uint32_t>(StatusFromErrorWin32Rule(r.error)), r.win32)
        << std::hex << r.error;
  }
}

}  // namespace
