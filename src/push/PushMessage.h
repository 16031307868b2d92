#pragma once

#include <optional>
#include <string>

#include "platform/UserNotifications.h"

namespace zandorin {

// The notification a pushed message asks for: its payload is a JSON object with a "title",
// a "body" and an optional "url"; the whole object becomes the user info, so that a click
// finds the "url" as it was sent. Nothing when the payload is not such an object or has
// neither a title nor a body to show.
std::optional<platform::NotificationRequest> notificationFromPush(const std::string& payload,
                                                                  const std::string& identifier);

}  // namespace zandorin
