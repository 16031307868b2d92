#include "common/Text.h"

#include <array>
#include <cstdint>

namespace zandorin::text {
namespace {

// Length of the UTF-8 sequence that starts with this byte; 0 for a continuation byte or a
// byte that never starts one.
std::size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

// The Unicode space separators (category Zs) and the tab, in UTF-8.
constexpr std::array<std::string_view, 18> kHorizontalWhitespace = {
    "\t",           " ",
    "\xC2\xA0",     "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81",
    "\xE2\x80\x82", "\xE2\x80\x83",
    "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87",
    "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A", "\xE2\x80\xAF",
    "\xE2\x81\x9F", "\xE3\x80\x80",
};

std::size_t leadingWhitespace(std::string_view text) {
    for (const auto ws : kHorizontalWhitespace) {
        if (text.starts_with(ws)) {
            return ws.size();
        }
    }
    return 0;
}

std::size_t trailingWhitespace(std::string_view text) {
    for (const auto ws : kHorizontalWhitespace) {
        if (text.ends_with(ws)) {
            return ws.size();
        }
    }
    return 0;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = sequenceLength(lead);
        if (length == 0 || i + length > bytes.size()) {
            return false;
        }
        std::uint32_t code = length == 1 ? lead : lead & (0xFFu >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
        const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
        if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string_view trimHorizontalWhitespace(std::string_view text) {
    while (const std::size_t n = leadingWhitespace(text)) {
        text.remove_prefix(n);
    }
    while (const std::size_t n = trailingWhitespace(text)) {
        text.remove_suffix(n);
    }
    return text;
}

std::string_view prefixCharacters(std::string_view text, std::size_t count) {
    std::size_t end = 0;
    for (std::size_t seen = 0; end < text.size(); ++end) {
        // Every byte that does not continue a sequence starts a character.
        if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && seen++ == count) {
            break;
        }
    }
    return text.substr(0, end);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace zandorin::text
