#pragma once

namespace zandorin {

// Reverse-DNS identifier of the application: the keyring service name (shared with the local
// proxy, which finds the token items by it) and the system-log subsystem.
inline constexpr const char* kBundleIdentifier = "com.zandorin.auth";

inline constexpr const char* kExecutableName = "zandorin-auth";

}  // namespace zandorin
