#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "auth/KeychainHelper.h"
#include "platform/Platform.h"

namespace zandorin {

// Notification permission, the remote-notification device token, and its report to and
// withdrawal from the service.
class PushManager {
public:
    static constexpr auto requestTimeout = std::chrono::seconds(60);

    // What a withdrawal needs, read while the sign-in that ends still exists.
    struct Withdrawal {
        std::optional<std::string> deviceToken;
        std::optional<std::string> accessToken;
    };

    PushManager(platform::Platform& platform, KeychainHelper& keychain);

    // Asks for permission to alert, sound and badge; on grant, registers with the push
    // service on the main queue. Returns at once.
    void requestPermission();

    // Main thread.
    void didRegisterForRemoteNotifications(const std::string& deviceToken);
    void didFailToRegisterForRemoteNotifications(const std::string& localizedDescription);

    // Reports the stored device token under the stored access token; runs in the calling
    // background task.
    void registerTokenWithServer();

    // After a successful sign-in, in its background task: reports the stored device token,
    // or, when an earlier sign-out withdrew it, asks the push service for it again (given
    // permission), whose callback then reports it.
    void reportAfterSignIn();

    Withdrawal prepareWithdrawal() const;
    // Withdraws the device token from the service and forgets it; background task.
    void unregisterToken(const Withdrawal& withdrawal);

    const std::string& serverURL() const { return serverURL_; }

private:
    void registerForRemoteNotifications();  // on the main queue
    void report(const std::string& deviceToken);
    std::optional<std::string> pushTokenUrl() const;

    platform::Platform& platform_;
    KeychainHelper& keychain_;
    const std::string serverURL_;
    std::atomic<bool> permissionGranted_{false};  // set from the authorization's thread
};

}  // namespace zandorin
