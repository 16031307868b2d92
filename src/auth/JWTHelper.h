#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace zandorin {

// Reads the claims the menu needs out of the stored access token's payload. The signature is
// not checked: the token is only ever shown, never trusted.
class JWTHelper {
public:
    // Seconds since 1970-01-01 UTC, fractions kept.
    using TimePoint =
        std::chrono::time_point<std::chrono::system_clock, std::chrono::duration<double>>;

    struct Claims {
        std::optional<std::string> email;
        std::optional<std::string> preferredUsername;
        std::optional<std::string> sub;
        std::optional<TimePoint> exp;

        bool operator==(const Claims&) const = default;
    };

    JWTHelper() = delete;

    static std::optional<Claims> decode(std::string_view token);

    // Of the stored access token, read once per rendering by the caller (each read is a keyring
    // round trip): true without a token, with an unreadable one, or without "exp"; otherwise
    // true once "exp" lies strictly before now.
    static bool isTokenExpired(const std::optional<std::string>& token,
                               const platform::Clock& clock);

    // E-mail, else preferred user name, else subject.
    static std::optional<std::string> displayName(const std::optional<std::string>& token);
};

}  // namespace zandorin
