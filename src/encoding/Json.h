// JSON string literals, for the tool's output and the trace sink's lines.
#pragma once

#include <string>
#include <string_view>

// `text` (UTF-8) as a JSON string literal with its quotes; ill-formed
// sequences are written as U+FFFD, so the output is always valid JSON.
std::string JsonString(std::string_view text);
