#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace zandorin::platform {

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HeaderFields headers;  // sent in this order, and no others the server could react to
    std::string body;
    std::chrono::milliseconds timeout{60000};
};

struct HttpResponse {
    long status = 0;
    HeaderFields headers;
    std::string body;

    // Header names compare without regard to letter case.
    std::optional<std::string> header(std::string_view name) const;
};

// No answer at all: no connection, time-out, cancellation, oversized answer.
struct TransferError {
    std::string description;
};

using HttpResult = std::variant<HttpResponse, TransferError>;

// Blocking; called from background tasks only, never from the main thread.
class HttpClient {
public:
    virtual ~HttpClient() = default;
    virtual HttpResult send(const HttpRequest& request) = 0;
};

inline std::optional<std::string> HttpResponse::header(std::string_view name) const {
    auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    for (const auto& [key, value] : headers) {
        if (key.size() != name.size()) {
            continue;
        }
        bool same = true;
        for (std::size_t i = 0; i < key.size() && same; ++i) {
            same = lower(key[i]) == lower(name[i]);
        }
        if (same) {
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace zandorin::platform
