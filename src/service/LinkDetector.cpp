#include "service/LinkDetector.h"

#include <algorithm>
#include <array>
#include <utility>

#include "common/Text.h"
#include "platform/AppIdentity.h"

namespace zandorin {
namespace {

bool isAsciiAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool startsWithNoCase(std::string_view text, std::size_t at, std::string_view lowerPrefix) {
    if (text.size() - at < lowerPrefix.size()) {
        return false;
    }
    for (std::size_t k = 0; k < lowerPrefix.size(); ++k) {
        char c = text[at + k];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != lowerPrefix[k]) {
            return false;
        }
    }
    return true;
}

// Code points that end a link: spaces and separators, CJK text and punctuation, full-width
// forms, typographic punctuation and symbols, emoji, private use. Sorted.
constexpr std::array<std::pair<char32_t, char32_t>, 16> kNonAsciiTerminators = {{
    {0x0080, 0x00BF},     // C1 controls, no-break space, Latin-1 punctuation such as « »
    {0x1100, 0x11FF},     // Hangul Jamo
    {0x1680, 0x1680},     // Ogham space mark
    {0x2000, 0x2BFF},     // spaces, quotes, dashes, ellipsis, arrows, math, dingbats
    {0x2E00, 0x9FFF},     // supplemental punctuation, CJK symbols, kana, Hangul compat, Han
    {0xA960, 0xA97F},     // Hangul Jamo extended A
    {0xAC00, 0xD7FF},     // Hangul syllables, Jamo extended B
    {0xE000, 0xF8FF},     // private use
    {0xF900, 0xFAFF},     // CJK compatibility ideographs
    {0xFE10, 0xFE1F},     // vertical forms
    {0xFE30, 0xFE6F},     // CJK compatibility and small forms
    {0xFEFF, 0xFEFF},     // zero width no-break space
    {0xFF00, 0xFFFF},     // full-width and half-width forms, specials
    {0x1AFF0, 0x1B2FF},   // kana supplements, Nushu
    {0x1F000, 0x1FBFF},   // game symbols, emoji, pictographs
    {0x20000, 0x10FFFF},  // CJK extensions, tags, private use planes
}};

bool endsLink(char32_t code) {
    return std::any_of(
        kNonAsciiTerminators.begin(), kNonAsciiTerminators.end(),
        [code](const auto& range) { return code >= range.first && code <= range.second; });
}

bool endsLink(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) {
        return true;
    }
    return std::string_view("<>\"`{}|\\^").find(c) != std::string_view::npos;
}

// Bytes of the character at `at` when it may be part of a link, 0 when it ends one.
std::size_t linkCharLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        return endsLink(text[at]) ? 0 : 1;
    }
    const std::size_t length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (text.size() - at < length || !text::isValidUtf8(text.substr(at, length))) {
        return 0;
    }
    char32_t code = lead & (0xFFu >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        code = (code << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3Fu);
    }
    return endsLink(code) ? 0 : length;
}

std::size_t runEnd(std::string_view text, std::size_t at) {
    while (at < text.size()) {
        const std::size_t n = linkCharLength(text, at);
        if (n == 0) {
            break;
        }
        at += n;
    }
    return at;
}

// Non-ASCII bytes inside a run always belong to a character a link may hold.
bool startsLabel(char c) {
    return isAsciiAlnum(c) || static_cast<unsigned char>(c) >= 0x80;
}

bool hasHost(std::string_view link, std::size_t prefixLength, bool bareWww) {
    std::string_view host = link.substr(prefixLength);
    host = host.substr(0, host.find_first_of("/?#"));
    if (host.empty()) {
        return false;
    }
    if (!bareWww) {
        if (host.front() == '[') {
            return host.size() > 1 && (isHexDigit(host[1]) || host[1] == ':') &&
                   host.find(']') != std::string_view::npos;
        }
        return startsLabel(host.front());
    }
    host = host.substr(0, host.find(':'));
    const std::size_t dot = host.find('.');
    return !host.empty() && startsLabel(host.front()) && dot != std::string_view::npos &&
           dot + 1 < host.size() && startsLabel(host[dot + 1]);
}

// Drops what closes the sentence rather than the link.
std::size_t trimmedLength(std::string_view link, std::size_t prefixLength) {
    std::ptrdiff_t parens = 0;
    std::ptrdiff_t brackets = 0;
    for (const char c : link) {
        parens += c == '(' ? 1 : c == ')' ? -1 : 0;
        brackets += c == '[' ? 1 : c == ']' ? -1 : 0;
    }
    std::size_t length = link.size();
    while (length > prefixLength) {
        const char last = link[length - 1];
        if (last == ')' && parens < 0) {
            ++parens;
        } else if (last == ']' && brackets < 0) {
            ++brackets;
        } else if (std::string_view(".,;:!?'").find(last) == std::string_view::npos) {
            break;
        }
        --length;
    }
    return length;
}

std::size_t prefixLengthAt(std::string_view text, std::size_t at) {
    const char c = text[at];
    if (c == 'h' || c == 'H') {
        if (startsWithNoCase(text, at, "https://")) {
            return 8;
        }
        if (startsWithNoCase(text, at, "http://")) {
            return 7;
        }
    } else if ((c == 'w' || c == 'W') && startsWithNoCase(text, at, "www.")) {
        return 4;
    }
    return 0;
}

}  // namespace

std::vector<LinkMatch> findLinks(std::string_view text) {
    std::vector<LinkMatch> links;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t prefixLength = prefixLengthAt(text, at);
        if (prefixLength == 0) {
            ++at;
            continue;
        }
        // Every rejected start skips its whole run, so each byte is scanned a bounded number
        // of times.
        const std::size_t end = runEnd(text, at);
        if (at > 0 && isAsciiAlnum(text[at - 1])) {
            at = end;
            continue;
        }
        const std::string_view run = text.substr(at, end - at);
        const std::size_t length = trimmedLength(run, prefixLength);
        if (!hasHost(run.substr(0, length), prefixLength, prefixLength == 4)) {
            at = end;
            continue;
        }
        links.push_back({at, length});
        at += length;
    }
    return links;
}

bool isWebUrl(const std::string& text, const platform::UrlParser& urls, platform::SystemLog& log,
              const char* category) {
    const auto parsed = urls.parse(text);
    if (!parsed) {
        return false;
    }
    const std::string& scheme = parsed->scheme;
    for (const std::string_view web : {"http", "https"}) {
        if (scheme.size() == web.size() && startsWithNoCase(scheme, 0, web)) {
            return true;
        }
    }
    // The rest of the URL may carry personal data.
    log.write(kBundleIdentifier, category,
              "did not open a link of the scheme \"" + scheme +
                  "\": only http and https links are opened");
    return false;
}

}  // namespace zandorin
