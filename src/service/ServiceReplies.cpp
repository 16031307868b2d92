#include "service/ServiceReplies.h"

#include <cmath>
#include <limits>

#include "common/JsonInput.h"
#include "service/LinkDetector.h"

namespace zandorin::service {

namespace {

constexpr const char* kActiveMarkers[] = {"✅", "仍有效"};
constexpr const char* kCheckoutLogCategory = "Checkout";

const Json* member(const Json& object, const char* name) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

// Integral JSON numbers only: 12 and 12.0 count, 12.5, "12" and true do not.
std::int64_t integral(const Json* value) {
    if (!value) {
        return 0;
    }
    if (value->is_number_integer()) {
        if (value->is_number_unsigned() &&
            value->get<std::uint64_t>() >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return 0;
        }
        return value->get<std::int64_t>();
    }
    if (value->is_number_float()) {
        const double number = value->get<double>();
        // 2^63 itself is out of range; every double below it converts exactly.
        if (std::trunc(number) == number && number >= -9223372036854775808.0 &&
            number < 9223372036854775808.0) {
            return static_cast<std::int64_t>(number);
        }
    }
    return 0;
}

}  // namespace

Json initializeParams() {
    return {
        {"protocolVersion", "2025-03-26"},
        {"capabilities", Json::object()},
        {"clientInfo", {{"name", "ZandorinAuth"}, {"version", "1.0"}}},
    };
}

Json subscriptionStatusParams() {
    return {{"name", "check_subscription_status"}, {"arguments", Json::object()}};
}

Json checkoutParams() {
    return {{"name", "create_checkout"}, {"arguments", {{"invoice_type", "donate"}}}};
}

std::optional<std::string> firstContentText(const std::optional<Json>& reply) {
    if (!reply) {
        return std::nullopt;
    }
    const Json* result = member(*reply, "result");
    const Json* content = result ? member(*result, "content") : nullptr;
    if (!content || !content->is_array() || content->empty()) {
        return std::nullopt;
    }
    for (const auto& element : *content) {
        if (!element.is_object()) {
            return std::nullopt;
        }
    }
    const Json* text = member(content->front(), "text");
    if (!text || !text->is_string()) {
        return std::nullopt;
    }
    return text->get<std::string>();
}

std::optional<SubscriptionState> evaluateSubscription(const std::optional<Json>& reply) {
    auto text = firstContentText(reply);
    if (!text) {
        return std::nullopt;
    }
    SubscriptionState state;
    for (const char* marker : kActiveMarkers) {
        state.active = state.active || text->find(marker) != std::string::npos;
    }
    state.text = std::move(*text);
    return state;
}

std::optional<KnowledgeStats> parseKnowledgeStats(std::string_view body) {
    const auto parsed = json::parseUntrusted(body);
    if (!parsed.is_object()) {
        return std::nullopt;
    }
    const Json* articles = member(parsed, "articles");
    const Json* skills = member(parsed, "skills");
    const Json* news = member(parsed, "news");
    KnowledgeStats stats;
    stats.topics = integral(articles ? member(*articles, "topics") : nullptr);
    stats.projects = integral(articles ? member(*articles, "projects") : nullptr);
    stats.skills = integral(skills ? member(*skills, "total") : nullptr);
    if (const Json* date = news ? member(*news, "latest_date") : nullptr;
        date && date->is_string()) {
        stats.latestNewsDate = date->get<std::string>();
    }
    return stats;
}

CheckoutOutcome decideCheckout(const std::optional<Json>& reply, const platform::UrlParser& urls,
                               platform::SystemLog& log) {
    CheckoutOutcome outcome;
    if (!reply) {
        outcome.alert = {"無法建立付款連結",
                         "請確認網路連線後再試，或在 Claude 對話中輸入「我想訂閱Mirrowen」。"};
        return outcome;
    }
    const std::string text = firstContentText(reply).value_or("");
    for (const auto& found : findLinks(text)) {
        // The link as the text spells it, not a normalised form.
        std::string link = text.substr(found.offset, found.length);
        if (isWebUrl(link, urls, log, kCheckoutLogCategory)) {
            outcome.paymentUrl = std::move(link);
            return outcome;
        }
    }
    outcome.alert = {"無法取得付款連結",
                     text.empty() ? "請在 Claude 對話中輸入「我想訂閱Mirrowen」。" : text};
    return outcome;
}

}  // namespace zandorin::service
