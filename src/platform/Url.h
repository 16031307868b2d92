#pragma once

#include <optional>
#include <string>

namespace zandorin::platform {

// An absolute URL taken apart; the parts stay percent-encoded as they were written.
struct ParsedUrl {
    std::string scheme;
    std::string host;
    std::optional<std::string> port;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

class UrlParser {
public:
    virtual ~UrlParser() = default;

    // Nothing when the text does not form an absolute URL with a scheme.
    virtual std::optional<ParsedUrl> parse(const std::string& text) const = 0;
};

}  // namespace zandorin::platform
