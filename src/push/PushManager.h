#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Platform.h"
#include "store/KeychainHelper.h"

namespace zandorin {

// Notification permission, the remote-notification device token, and its report to and
// withdrawal from the service. Reports and withdrawals run one at a time in the background, in
// the order they were asked for, so that the service's last word is the last request: a
// withdrawal at sign-out is never overtaken by the report of the sign-in that follows.
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

    // After a successful sign-in, after the reports and withdrawals asked for before: reports
    // the stored device token, or, when an earlier sign-out withdrew it, asks the push service
    // for it again (given permission), whose callback then reports it. Then runs `then`.
    void reportAfterSignIn(std::function<void()> then);

    // At sign-out: reads what the withdrawal needs now, while the sign-in still exists, and
    // withdraws after the reports and withdrawals asked for before. Returns at once.
    void startWithdrawal();

    Withdrawal prepareWithdrawal() const;
    // Withdraws the device token from the service and forgets it; background task.
    void unregisterToken(const Withdrawal& withdrawal);

private:
    void registerForRemoteNotifications();  // on the main queue
    void report(const std::string& deviceToken);
    std::optional<std::string> pushTokenUrl() const;
    void inOrder(std::function<void()> task);
    void drain();

    platform::Platform& platform_;
    KeychainHelper& keychain_;
    const std::string serverURL_;
    std::atomic<bool> permissionGranted_{false};  // set from the authorization's thread

    std::mutex queueMutex_;
    std::deque<std::function<void()>> queue_;
    bool draining_ = false;  // a background task runs the queue
};

}  // namespace zandorin
