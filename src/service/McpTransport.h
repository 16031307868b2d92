#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/Platform.h"
#include "store/KeychainHelper.h"

namespace zandorin {

// A minimal MCP client over the streamable HTTP transport: one POST per JSON-RPC message to the
// service's "/mcp", with the user's bearer token and the session id the server handed out.
// Called from background tasks only; every outcome is a value, nothing throws.
class McpTransport {
public:
    using Json = nlohmann::json;

    static constexpr auto callTimeout = std::chrono::seconds(15);
    static constexpr auto notifyTimeout = std::chrono::seconds(10);
    static constexpr std::size_t bodyExcerptCharacters = 500;
    static constexpr const char* logCategory = "HealthCheck";

    // `refreshToken` runs one token refresh in the calling task and returns when it is over.
    McpTransport(platform::Platform& platform, KeychainHelper& keychain,
                 std::function<void()> refreshToken);

    McpTransport(const McpTransport&) = delete;
    McpTransport& operator=(const McpTransport&) = delete;

    // The service base URL: the Info.plist's MCP_SERVER_URL, or the built-in default.
    std::string mcpServerURL() const;

    // A request; the whole JSON-RPC response object, or nothing. On 401 the token is refreshed
    // once and the same request is sent once more.
    std::optional<Json> mcpCall(const std::string& method, const Json& params);

    // A notification; true when the server accepted it (200-399).
    bool mcpNotify(const std::string& method);

    // The JSON-RPC reply in an answer body, plain JSON or an event stream: the last line that
    // holds an object with "result" or "error", else the whole body when it is an object.
    static std::optional<Json> parseResponse(std::string_view body);

    std::optional<std::string> sessionId() const;

private:
    std::optional<std::string> endpoint() const;
    platform::HttpRequest makeRequest(const std::string& url, const std::string& token,
                                      const std::optional<std::string>& session, std::string body,
                                      std::chrono::milliseconds timeout) const;
    void log(const std::string& message);
    // One transfer of a call, logged; the session it leaves is kept. Nothing when no answer came.
    std::optional<platform::HttpResponse> attempt(const platform::HttpRequest& request,
                                                  const std::string& method, bool retry,
                                                  const std::optional<std::string>& session);
    // Stores the session id an answer names; without one, see forgetSessionIfGone.
    void keepSessionFrom(const platform::HttpResponse& response,
                         const std::optional<std::string>& carried);
    // A 404 to a message that carried a session id: the server no longer knows that session.
    void forgetSessionIfGone(const platform::HttpResponse& response,
                             const std::optional<std::string>& carried);

    platform::Platform& platform_;
    KeychainHelper& keychain_;
    std::function<void()> refreshToken_;

    // Health checks and checkouts run concurrently and share the session.
    mutable std::mutex sessionMutex_;
    std::optional<std::string> mcpSessionId;
};

}  // namespace zandorin
