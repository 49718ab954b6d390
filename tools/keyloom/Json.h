// Minimal JSON output for the tool: string escaping.
#pragma once

#include <string>
#include <string_view>

// `text` (UTF-8) as a JSON string literal with its quotes; ill-formed
// sequences are written as U+FFFD, so the output is always valid JSON.
std::string JsonString(std::string_view text);
