#include "common/UrlCoding.h"

#include <utility>

namespace zandorin::url {
namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

bool isQueryValueSafe(unsigned char c) {
    if (isUnreserved(c)) {
        return true;
    }
    switch (c) {
        case '!':
        case '$':
        case '\'':
        case '(':
        case ')':
        case '*':
        case ',':
        case ';':
        case ':':
        case '@':
        case '/':
        case '?':
            return true;
        default:
            return false;
    }
}

template <typename Safe>
std::string encode(std::string_view text, Safe safe) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (safe(c)) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

}  // namespace

std::string encodeQueryValue(std::string_view value) {
    return encode(value, isQueryValueSafe);
}

std::string encodeFormValue(std::string_view value) {
    return encode(value, isUnreserved);
}

std::string buildQuery(const std::vector<QueryItem>& items) {
    std::string query;
    bool first = true;
    for (const auto& [name, value] : items) {
        // An item with no name and no value writes nothing, but is still an item.
        if (!std::exchange(first, false)) {
            query += '&';
        }
        query += encodeQueryValue(name);
        if (value) {
            query += '=';
            query += encodeQueryValue(*value);
        }
    }
    return query;
}

std::optional<std::vector<QueryItem>> parseQuery(std::string_view query) {
    std::vector<QueryItem> items;
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string_view::npos) {
            end = query.size();
        }
        const std::string_view piece = query.substr(start, end - start);
        const std::size_t equals = piece.find('=');
        auto name = decode(piece.substr(0, equals));
        if (!name) {
            return std::nullopt;
        }
        std::optional<std::string> value;
        if (equals != std::string_view::npos) {
            value = decode(piece.substr(equals + 1));
            if (!value) {
                return std::nullopt;
            }
        }
        items.emplace_back(std::move(*name), std::move(value));
        start = end + 1;
    }
    return items;
}

}  // namespace zandorin::url
