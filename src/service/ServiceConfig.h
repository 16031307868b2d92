#pragma once

#include <string>

#include "platform/BundleInfo.h"

namespace zandorin {

// Built-in production endpoints, used when the Info.plist does not name others.
inline constexpr const char* kDefaultServiceBaseUrl = "https://mcp.zandorin.com";
inline constexpr const char* kDefaultKeycloakIssuer = "https://auth.zandorin.com/realms/zandorin";

// The service base URL: the Info.plist's MCP_SERVER_URL when it is a string, unchanged.
inline std::string serviceBaseUrl(const platform::BundleInfo& bundle) {
    return bundle.stringValue("MCP_SERVER_URL").value_or(kDefaultServiceBaseUrl);
}

// The issuer URL: the Info.plist's KEYCLOAK_ISSUER when it is a string, unchanged.
inline std::string keycloakIssuerUrl(const platform::BundleInfo& bundle) {
    return bundle.stringValue("KEYCLOAK_ISSUER").value_or(kDefaultKeycloakIssuer);
}

}  // namespace zandorin
