#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/UserNotifications.h"

namespace zandorin::adapters {

// User notifications through the desktop's notification server (org.freedesktop.Notifications
// on the session bus), each with a default action so that a click reaches the delegate.
// Nothing here blocks: every call is asynchronous, and without a server nothing is shown and
// nothing fails. Create, use and destroy on the main thread, with the Qt application alive.
class FreedesktopNotifications final : public platform::UserNotificationCenter {
public:
    // Notifications remembered for their clicks, or held while the server is asked how it
    // reads bodies; older ones are forgotten.
    static constexpr std::size_t kRemembered = 64;

    FreedesktopNotifications();
    ~FreedesktopNotifications() override;

    FreedesktopNotifications(const FreedesktopNotifications&) = delete;
    FreedesktopNotifications& operator=(const FreedesktopNotifications&) = delete;

    // Granted when a notification server answers; the completion comes on the main thread.
    void requestAuthorization(
        unsigned options,
        std::function<void(bool granted, const std::optional<std::string>& error)> completion)
        override;

    // Asks the delegate (if any) how to present it; shown only as a banner.
    void add(const platform::NotificationRequest& request) override;

    void setDelegate(platform::UserNotificationDelegate* delegate) override;

    // For a process about to end: shows the notification at once and waits (at most
    // `timeout`) until the server has it. False when no server took it.
    static bool showBeforeExit(const platform::NotificationRequest& request,
                               std::chrono::milliseconds timeout);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;  // weakly held by the delegate's presentation handlers
};

}  // namespace zandorin::adapters
