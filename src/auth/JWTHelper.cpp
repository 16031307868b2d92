#include "auth/JWTHelper.h"

#include <nlohmann/json.hpp>
#include <vector>

#include "common/Base64.h"
#include "common/JsonInput.h"

namespace zandorin {
namespace {

std::optional<std::string> stringClaim(const nlohmann::json& payload, const char* name) {
    const auto it = payload.find(name);
    if (it == payload.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

}  // namespace

std::optional<JWTHelper::Claims> JWTHelper::decode(std::string_view token) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (start <= token.size()) {
        const std::size_t dot = token.find('.', start);
        const std::size_t end = dot == std::string_view::npos ? token.size() : dot;
        if (end > start) {
            pieces.push_back(token.substr(start, end - start));
        }
        if (dot == std::string_view::npos) {
            break;
        }
        start = dot + 1;
    }
    if (pieces.size() < 2) {
        return std::nullopt;
    }

    std::string payload(pieces[1]);
    for (char& c : payload) {
        if (c == '-') {
            c = '+';
        } else if (c == '_') {
            c = '/';
        }
    }
    while (payload.size() % 4 != 0) {
        payload += '=';
    }
    const auto bytes = base64::decode(payload);
    if (!bytes) {
        return std::nullopt;
    }

    const auto parsed = json::parseUntrusted(*bytes);
    if (!parsed.is_object()) {
        return std::nullopt;  // also a parse failure, which yields a discarded value
    }

    Claims claims;
    claims.email = stringClaim(parsed, "email");
    claims.preferredUsername = stringClaim(parsed, "preferred_username");
    claims.sub = stringClaim(parsed, "sub");
    if (const auto exp = parsed.find("exp"); exp != parsed.end() && exp->is_number()) {
        claims.exp = TimePoint(std::chrono::duration<double>(exp->get<double>()));
    }
    return claims;
}

bool JWTHelper::isTokenExpired(const std::optional<std::string>& token,
                               const platform::Clock& clock) {
    if (!token) {
        return true;
    }
    const auto claims = decode(*token);
    if (!claims || !claims->exp) {
        return true;
    }
    const TimePoint now = std::chrono::time_point_cast<TimePoint::duration>(clock.now());
    return *claims->exp < now;
}

std::optional<std::string> JWTHelper::displayName(const std::optional<std::string>& token) {
    if (!token) {
        return std::nullopt;
    }
    const auto claims = decode(*token);
    if (!claims) {
        return std::nullopt;
    }
    if (claims->email) {
        return claims->email;
    }
    if (claims->preferredUsername) {
        return claims->preferredUsername;
    }
    return claims->sub;
}

}  // namespace zandorin
