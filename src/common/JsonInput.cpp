#include "common/JsonInput.h"

namespace zandorin::json {
namespace {

// Counts brackets outside strings. On the valid prefix the parser reads, which is all it ever
// builds, this is the nesting it would reach.
bool nestsDeeperThanAllowed(std::string_view text) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth) {
                return true;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

}  // namespace

nlohmann::json parseUntrusted(std::string_view text) {
    if (nestsDeeperThanAllowed(text)) {
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
    return nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
}

}  // namespace zandorin::json
