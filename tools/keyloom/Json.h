// Minimal JSON output for the tool: string escaping.
#pragma once

#include <string>
#include <string_view>

// `text` (UTF-8) as a JSON string literal with its quotes; an octet that is
// not part of well-formed UTF-8 is written as \ufffd.
std::string JsonString(std::string_view text);
