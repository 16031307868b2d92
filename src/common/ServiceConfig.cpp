#include "common/ServiceConfig.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <system_error>

#include "common/Text.h"

namespace zandorin {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// The host as the URL parser gives it: a dotted quad (the parser normalises other IPv4 forms),
// a bracketed IPv6 address or a name.
bool isLoopbackHost(std::string_view host) {
    if (equalsIgnoringCase(host, "localhost") || host == "[::1]") {
        return true;
    }
    const auto parts = text::split(host, '.');
    return parts.size() == 4 && parts[0] == "127" &&
           std::all_of(parts.begin(), parts.end(), [](std::string_view part) {
               unsigned octet = 0;
               const char* end = part.data() + part.size();
               const auto [stop, error] = std::from_chars(part.data(), end, octet);
               return error == std::errc() && stop == end && octet <= 255;
           });
}

}  // namespace

std::optional<std::string> cleartextAddress(const platform::UrlParser& urls,
                                            const platform::BundleInfo& bundle) {
    for (const char* key : {"KEYCLOAK_ISSUER", "MCP_SERVER_URL"}) {
        const auto value = bundle.stringValue(key);
        const auto url = value ? urls.parse(*value) : std::nullopt;
        if (url && equalsIgnoringCase(url->scheme, "http") && !isLoopbackHost(url->host)) {
            return std::string(key) +
                   " is plain http:// to another machine, which would send tokens in clear";
        }
    }
    return std::nullopt;
}

}  // namespace zandorin
