#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/Alert.h"
#include "platform/SystemLog.h"
#include "platform/Url.h"
#include "service/KnowledgeStats.h"

namespace zandorin::service {

using Json = nlohmann::json;

// Parameters of the messages the menu sends.
Json initializeParams();
Json subscriptionStatusParams();
Json checkoutParams();

// A tool reply's "result" → "content" → first element → "text", when every step has its type.
std::optional<std::string> firstContentText(const std::optional<Json>& reply);

struct SubscriptionState {
    bool active = false;
    std::string text;
};

// Nothing when the reply carries no usable text.
std::optional<SubscriptionState> evaluateSubscription(const std::optional<Json>& reply);

// Nothing when the body is not a JSON object; missing or mistyped members count as zero/empty.
std::optional<KnowledgeStats> parseKnowledgeStats(std::string_view body);

// What a checkout answer leads to: a payment page to open, or an alert to show.
struct CheckoutOutcome {
    std::optional<std::string> paymentUrl;
    platform::AlertContent alert;
};

// The payment page is the first link of the answer's text that is an http or https URL.
CheckoutOutcome decideCheckout(const std::optional<Json>& reply, const platform::UrlParser& urls,
                               platform::SystemLog& log);

}  // namespace zandorin::service
