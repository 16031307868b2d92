#pragma once

#include <string>

#include "auth/KeychainHelper.h"
#include "platform/Platform.h"

namespace zandorin {

// Notification permission and the remote-notification device token.
class PushManager {
public:
    PushManager(platform::Platform& platform, KeychainHelper& keychain);

    // Asks for permission to alert, sound and badge; on grant, registers with the push
    // service on the main queue. Returns at once.
    void requestPermission();

    void didRegisterForRemoteNotifications(const std::string& deviceToken);
    void didFailToRegisterForRemoteNotifications(const std::string& localizedDescription);

    const std::string& serverURL() const { return serverURL_; }

private:
    platform::Platform& platform_;
    KeychainHelper& keychain_;
    const std::string serverURL_;
};

}  // namespace zandorin
