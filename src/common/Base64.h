#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zandorin::base64 {

// Standard alphabet with padding (RFC 4648 section 4).
std::string encode(std::string_view bytes);

// Strict: the length must be a multiple of four, padding only at the end, and any character
// outside the alphabet, whitespace included, fails.
std::optional<std::string> decode(std::string_view text);

// The URL-safe form without padding (RFC 4648 section 5), as PKCE uses it.
std::string encodeUrlNoPadding(std::string_view bytes);

}  // namespace zandorin::base64
