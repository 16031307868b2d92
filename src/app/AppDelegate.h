#pragma once

#include <chrono>
#include <memory>

#include "auth/OAuthManager.h"
#include "common/MainPoster.h"
#include "menu/StatusBarController.h"
#include "platform/Platform.h"
#include "push/PushManager.h"
#include "store/KeychainHelper.h"

namespace zandorin {

// Runs the start-up sequence, tells the push manager and the menu of sign-ins and sign-outs, and
// answers the notification centre.
class AppDelegate final : public platform::UserNotificationDelegate,
                          public platform::RemoteNotificationsDelegate {
public:
    // Said once per run when the start could not read the keyring; a click asks to unlock it.
    static constexpr const char* keyringNotice = "keyring-unreadable";
    // While the keyring cannot be read, it is read again this often (and whenever it changes).
    static constexpr auto keyringRetryInterval = std::chrono::seconds(60);

    AppDelegate(platform::Platform& platform, KeychainHelper& keychain, OAuthManager& oauth,
                PushManager& push);

    void applicationDidFinishLaunching();

    // Shown as a banner with sound while the application runs.
    void willPresent(const platform::NotificationRequest& notification,
                     const std::function<void(unsigned options)>& completionHandler) override;

    // Opens the "url" string the notification carries, when it is an http or https URL; the
    // keyring notice asks the keyring to unlock instead.
    void didReceive(const platform::NotificationResponse& response,
                    const std::function<void()>& completionHandler) override;

    void didRegisterForRemoteNotifications(const std::string& deviceToken) override;
    void didFailToRegisterForRemoteNotifications(const std::string& localizedDescription) override;
    // Shows a pushed message as a notification; one that asks for none is logged and dropped.
    void didReceiveRemoteNotification(const std::string& payload,
                                      const std::string& identifier) override;

private:
    // Until the keyring can be read: another read at every change and retry, and at start a
    // notice, since the menu alone may go unseen there.
    void waitForKeyring(bool notice);
    void keyringChanged();
    // After a suspend or a network outage: what the menu shows is read anew.
    void systemChanged();
    void keyringMayBeReadable();
    void unlockKeyring();
    void authChanged();

    platform::Platform& platform_;
    KeychainHelper& keychain_;
    OAuthManager& oauth_;
    PushManager& push_;
    std::unique_ptr<StatusBarController> statusBarController;
    std::unique_ptr<platform::Timer> keyringRetry_;  // set while the keyring cannot be read
    Lifetime lifetime_;
    MainPoster postToMain_;
};

}  // namespace zandorin
