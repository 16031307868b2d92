#pragma once

#include <string>

namespace zandorin::platform {

class RemoteNotificationsDelegate {
public:
    virtual ~RemoteNotificationsDelegate() = default;
    virtual void didRegisterForRemoteNotifications(const std::string& deviceToken) = 0;  // bytes
    virtual void didFailToRegisterForRemoteNotifications(
        const std::string& localizedDescription) = 0;
    // A message the service pushed: its payload as sent, and the push service's identifier
    // for it (may be empty).
    virtual void didReceiveRemoteNotification(const std::string& payload,
                                              const std::string& identifier) = 0;
};

// Registration with the push service; the outcome and pushed messages arrive on the main
// thread.
class RemoteNotifications {
public:
    virtual ~RemoteNotifications() = default;
    virtual void setDelegate(RemoteNotificationsDelegate* delegate) = 0;
    virtual void registerForRemoteNotifications() = 0;
};

}  // namespace zandorin::platform
