#include "service/ServiceChecks.h"

#include "common/ServiceConfig.h"

namespace zandorin::service {

std::optional<SubscriptionState> checkHealth(McpTransport& transport,
                                             const std::function<void(bool answered)>& opened) {
    if (!transport.mcpCall("initialize", initializeParams())) {
        opened(false);
        return std::nullopt;
    }
    opened(true);
    transport.mcpNotify("notifications/initialized");
    return evaluateSubscription(transport.mcpCall("tools/call", subscriptionStatusParams()));
}

std::optional<platform::HttpRequest> knowledgeStatsRequest(const platform::UrlParser& urls,
                                                           const std::string& baseUrl) {
    auto url = endpointUrl(urls, baseUrl, "/api/stats");
    if (!url) {
        return std::nullopt;
    }
    platform::HttpRequest request;
    request.method = "GET";
    request.url = std::move(*url);
    request.timeout = statsTimeout;
    return request;
}

std::optional<KnowledgeStats> fetchKnowledgeStats(platform::HttpClient& http,
                                                  const platform::HttpRequest& request) {
    const auto result = http.send(request);
    const auto* answer = std::get_if<platform::HttpResponse>(&result);
    if (!answer) {
        return std::nullopt;
    }
    return parseKnowledgeStats(answer->body);
}

}  // namespace zandorin::service
