#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "platform/HttpClient.h"
#include "platform/Url.h"
#include "service/KnowledgeStats.h"
#include "service/McpTransport.h"
#include "service/ServiceReplies.h"

namespace zandorin::service {

inline constexpr auto statsTimeout = std::chrono::seconds(10);

// One health and subscription check, in the calling background task: opens the MCP session
// ("initialize", then "notifications/initialized") and asks for the subscription. `opened`
// hears first whether the service answered the opening. The result is the subscription state;
// nothing when the service did not answer or its reply carries no usable text.
std::optional<SubscriptionState> checkHealth(McpTransport& transport,
                                             const std::function<void(bool answered)>& opened);

// The request for the dashboard counts: a GET without any header field (the counts are
// public); nothing when the base URL and the path form no URL.
std::optional<platform::HttpRequest> knowledgeStatsRequest(const platform::UrlParser& urls,
                                                           const std::string& baseUrl);

// Sends it, in the calling background task. Nothing when no answer came or it is not a JSON
// object; whatever the status, an error answer that is still an object gives zero counts.
std::optional<KnowledgeStats> fetchKnowledgeStats(platform::HttpClient& http,
                                                  const platform::HttpRequest& request);

}  // namespace zandorin::service
