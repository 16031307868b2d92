#include "push/PushMessage.h"

#include <nlohmann/json.hpp>

#include "common/JsonInput.h"

namespace zandorin {
namespace {

std::string textMember(const nlohmann::json& object, const char* name) {
    const auto found = object.find(name);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

std::optional<platform::NotificationRequest> notificationFromPush(const std::string& payload,
                                                                  const std::string& identifier) {
    if (payload.size() > kMaxPushPayloadBytes) {
        return std::nullopt;
    }
    // Rejects invalid UTF-8 as well: nothing malformed reaches the notification server.
    auto object = json::parseUntrusted(payload);
    if (!object.is_object()) {
        return std::nullopt;
    }
    platform::NotificationRequest request;
    request.identifier = identifier;
    request.content.title = textMember(object, "title");
    request.content.body = textMember(object, "body");
    if (request.content.title.empty() && request.content.body.empty()) {
        return std::nullopt;
    }
    request.content.userInfo = std::move(object);
    return request;
}

}  // namespace zandorin
