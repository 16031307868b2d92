#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zandorin::text {

bool isValidUtf8(std::string_view bytes);

// Trims spaces and tabs at both ends: every Unicode space separator and U+0009, but no line
// break, so the carriage return of a CRLF line end stays.
std::string_view trimHorizontalWhitespace(std::string_view text);

// The first `count` characters (code points) of valid UTF-8 text; never splits a sequence.
std::string_view prefixCharacters(std::string_view text, std::size_t count);

// Splits at every occurrence of the separator; n separators give n + 1 pieces.
std::vector<std::string_view> split(std::string_view text, char separator);

}  // namespace zandorin::text
