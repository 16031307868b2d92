#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/UserNotifications.h"

namespace zandorin {

// Distributors cap a message at about 4 KiB (the Web Push minimum that UnifiedPush servers such
// as ntfy and Autopush keep to); four times that leaves room for one configured to allow more,
// and is still more text than a notification shows.
inline constexpr std::size_t kMaxPushPayloadBytes = 16 * 1024;

// The notification a pushed message asks for: its payload is a JSON object with a "title",
// a "body" and an optional "url"; the whole object becomes the user info, so that a click
// finds the "url" as it was sent. Nothing when the payload is not such an object, has
// neither a title nor a body to show, is longer than kMaxPushPayloadBytes or nests deeper than
// JSON from outside may.
std::optional<platform::NotificationRequest> notificationFromPush(const std::string& payload,
                                                                  const std::string& identifier);

}  // namespace zandorin
