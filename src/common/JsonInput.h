#pragma once

#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

namespace zandorin::json {

// Nesting kept from JSON that comes from outside. Copying, comparing and writing a value
// recurse once per level, so a few kilobytes of brackets would overflow the stack; the answers
// and messages we read nest a handful of levels.
inline constexpr std::size_t kMaxDepth = 64;

// The value of a JSON text from outside the process; a discarded value (see is_discarded())
// when the text is not JSON, is not UTF-8 or nests deeper than kMaxDepth. Never throws.
nlohmann::json parseUntrusted(std::string_view text);

}  // namespace zandorin::json
