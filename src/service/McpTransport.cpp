#include "service/McpTransport.h"

#include <random>
#include <utility>
#include <variant>

#include "common/JsonInput.h"
#include "common/ServiceConfig.h"
#include "common/Text.h"
#include "platform/AppIdentity.h"

namespace zandorin {

namespace {

using Json = McpTransport::Json;

constexpr const char* kEventStreamOrJson = "text/event-stream, application/json";

bool parsedRange(long status) {
    return status >= 200 && status <= 499;
}

int randomRequestId() {
    std::random_device source;
    return std::uniform_int_distribution<int>(1, 99999)(source);
}

std::string answerLine(const std::string& method, const char* what,
                       const platform::HttpResponse& response) {
    const std::string_view bodyText =
        text::isValidUtf8(response.body) ? std::string_view(response.body) : "(no body)";
    std::string line = "[HealthCheck] ";
    line += method;
    line += ": ";
    line += what;
    line += ' ';
    line += std::to_string(response.status);
    line += " body=";
    line += text::prefixCharacters(bodyText, McpTransport::bodyExcerptCharacters);
    return line;
}

// Compact JSON; empty when a string in it is not UTF-8 (the message then goes without a body).
std::string serialise(const Json& envelope) {
    try {
        return envelope.dump();
    } catch (const Json::exception&) {
        return {};
    }
}

std::optional<Json> parseObject(std::string_view text) {
    auto value = json::parseUntrusted(text);
    if (!value.is_object()) {
        return std::nullopt;
    }
    return value;
}

// Without an escape sequence a member named "result" or "error" is spelt out literally, so a
// line with neither cannot be the reply and is passed over without parsing it.
bool mayHoldReply(std::string_view line) {
    return line.find('\\') != std::string_view::npos ||
           line.find("\"result\"") != std::string_view::npos ||
           line.find("\"error\"") != std::string_view::npos;
}

}  // namespace

McpTransport::McpTransport(platform::Platform& platform, KeychainHelper& keychain,
                           std::function<void()> refreshToken)
    : platform_(platform), keychain_(keychain), refreshToken_(std::move(refreshToken)) {}

std::string McpTransport::mcpServerURL() const {
    return serviceBaseUrl(platform_.bundle);
}

std::optional<std::string> McpTransport::endpoint() const {
    return endpointUrl(platform_.urls, mcpServerURL(), "/mcp");
}

std::optional<std::string> McpTransport::sessionId() const {
    std::lock_guard lock(sessionMutex_);
    return mcpSessionId;
}

void McpTransport::keepSessionFrom(const platform::HttpResponse& response,
                                   const std::optional<std::string>& carried) {
    if (auto id = response.header("Mcp-Session-Id")) {
        std::lock_guard lock(sessionMutex_);
        mcpSessionId = std::move(id);
        return;
    }
    forgetSessionIfGone(response, carried);
}

void McpTransport::forgetSessionIfGone(const platform::HttpResponse& response,
                                       const std::optional<std::string>& carried) {
    if (response.status != 404 || !carried) {
        return;
    }
    std::lock_guard lock(sessionMutex_);
    // A concurrent message may already have started a new session; keep that one.
    if (mcpSessionId == carried) {
        mcpSessionId.reset();
    }
}

void McpTransport::log(const std::string& message) {
    platform_.systemLog.write(kBundleIdentifier, logCategory, message);
}

platform::HttpRequest McpTransport::makeRequest(const std::string& url, const std::string& token,
                                                const std::optional<std::string>& session,
                                                std::string body,
                                                std::chrono::milliseconds timeout) const {
    platform::HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.timeout = timeout;
    request.headers.emplace_back("Authorization", "Bearer " + token);
    request.headers.emplace_back("Content-Type", "application/json");
    // The streamable HTTP transport refuses any POST without it, notifications included.
    request.headers.emplace_back("Accept", kEventStreamOrJson);
    if (session) {
        request.headers.emplace_back("Mcp-Session-Id", *session);
    }
    request.body = std::move(body);
    return request;
}

std::optional<Json> McpTransport::mcpCall(const std::string& method, const Json& params) {
    auto token = keychain_.load(keys::accessToken);
    if (!token) {
        return std::nullopt;
    }
    const auto url = endpoint();
    if (!url) {
        return std::nullopt;
    }
    const Json envelope = {
        {"jsonrpc", "2.0"},
        {"id", randomRequestId()},
        {"method", method},
        {"params", params.is_object() ? params : Json::object()},
    };
    const auto session = sessionId();
    auto request = makeRequest(*url, *token, session, serialise(envelope), callTimeout);

    const auto answer = attempt(request, method, false, session);
    if (!answer) {
        return std::nullopt;
    }
    if (answer->status != 401) {
        return parsedRange(answer->status) ? parseResponse(answer->body) : std::nullopt;
    }

    log("[HealthCheck] " + method + ": 401, refreshing token...");
    refreshToken_();
    token = keychain_.load(keys::accessToken);
    if (!token) {
        log("[HealthCheck] " + method + ": refresh failed, no new token");
        return std::nullopt;
    }
    request.headers.front().second = "Bearer " + *token;
    const auto retried = attempt(request, method, true, session);
    if (!retried) {
        return std::nullopt;
    }
    return parsedRange(retried->status) ? parseResponse(retried->body) : std::nullopt;
}

std::optional<platform::HttpResponse> McpTransport::attempt(
    const platform::HttpRequest& request, const std::string& method, bool retry,
    const std::optional<std::string>& session) {
    auto result = platform_.http.send(request);
    auto* answer = std::get_if<platform::HttpResponse>(&result);
    if (!answer) {
        log("[HealthCheck] " + method + (retry ? ": retry network error" : ": network error"));
        return std::nullopt;
    }
    log(answerLine(method, retry ? "retry HTTP" : "HTTP", *answer));
    // Also after a retry: a retried "initialize" opens the session the exchange needs.
    keepSessionFrom(*answer, session);
    return std::move(*answer);
}

bool McpTransport::mcpNotify(const std::string& method) {
    const auto token = keychain_.load(keys::accessToken);
    if (!token) {
        return false;
    }
    const auto url = endpoint();
    if (!url) {
        return false;
    }
    const Json envelope = {{"jsonrpc", "2.0"}, {"method", method}};
    const auto session = sessionId();
    const auto result =
        platform_.http.send(makeRequest(*url, *token, session, serialise(envelope), notifyTimeout));
    const auto* answer = std::get_if<platform::HttpResponse>(&result);
    if (!answer) {
        return false;
    }
    log("[HealthCheck] notify " + method + ": HTTP " + std::to_string(answer->status));
    forgetSessionIfGone(*answer, session);
    return answer->status >= 200 && answer->status <= 399;
}

std::optional<Json> McpTransport::parseResponse(std::string_view body) {
    if (!text::isValidUtf8(body)) {
        return std::nullopt;
    }
    // From the last line back: the reply closes a stream, after any notifications.
    std::size_t end = body.size();
    for (;;) {
        const std::size_t newline = end == 0 ? std::string_view::npos : body.rfind('\n', end - 1);
        const std::size_t start = newline == std::string_view::npos ? 0 : newline + 1;
        auto line = text::trimHorizontalWhitespace(body.substr(start, end - start));
        if (!line.empty()) {
            if (line.starts_with("data:")) {
                line = text::trimHorizontalWhitespace(line.substr(5));
            }
            if (mayHoldReply(line)) {
                if (auto object = parseObject(line);
                    object && (object->contains("result") || object->contains("error"))) {
                    return object;
                }
            }
        }
        if (newline == std::string_view::npos) {
            break;
        }
        end = newline;
    }
    return parseObject(body);
}

}  // namespace zandorin
