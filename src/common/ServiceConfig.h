#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/BundleInfo.h"
#include "platform/Url.h"

namespace zandorin {

// Built-in production address, used when the Info.plist does not name another.
inline constexpr const char* kDefaultServiceBaseUrl = "https://mcp.zandorin.com";

// The service base URL: the Info.plist's MCP_SERVER_URL when it is a string, unchanged.
inline std::string serviceBaseUrl(const platform::BundleInfo& bundle) {
    return bundle.stringValue("MCP_SERVER_URL").value_or(kDefaultServiceBaseUrl);
}

// An endpoint under a base URL: the path appended as plain text (a base ending in "/" gives
// "//"), when the whole forms a URL.
inline std::optional<std::string> endpointUrl(const platform::UrlParser& urls,
                                              const std::string& base, std::string_view path) {
    std::string url = base;
    url += path;
    if (!urls.parse(url)) {
        return std::nullopt;
    }
    return url;
}

// Why the Info.plist would send tokens in clear, naming the key, or nothing: KEYCLOAK_ISSUER
// and MCP_SERVER_URL may be plain http:// only on this machine (127.0.0.0/8, localhost, [::1]),
// where the local service runs. Values that form no URL are left to their users.
std::optional<std::string> cleartextAddress(const platform::UrlParser& urls,
                                            const platform::BundleInfo& bundle);

}  // namespace zandorin
