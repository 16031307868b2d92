#include "app/AppDelegate.h"

#include "platform/AppIdentity.h"
#include "push/PushMessage.h"
#include "service/LinkDetector.h"

namespace zandorin {
namespace {

constexpr const char* kPushLogCategory = "Push";

}  // namespace

AppDelegate::AppDelegate(platform::Platform& platform, KeychainHelper& keychain,
                         OAuthManager& oauth, PushManager& push)
    : platform_(platform),
      keychain_(keychain),
      oauth_(oauth),
      push_(push),
      postToMain_(lifetime_.poster(platform.mainQueue)) {
    // The device token is reported before the menu and the user hear of the sign-in, and its
    // withdrawal reads the tokens before the sign-out removes them.
    auto& events = keychain_.events();
    events.onSignedIn(
        [&push](SignInEvents::Next next) { push.reportAfterSignIn(std::move(next)); });
    events.onSignedIn([this, post = postToMain_](SignInEvents::Next next) {
        post([this] { authChanged(); });
        next();
    });
    events.onSigningOut([&push] { push.startWithdrawal(); });
    events.onSignedOut([this, alive = lifetime_.token()] {
        if (alive.lock()) {
            authChanged();
        }
    });
}

void AppDelegate::authChanged() {
    if (statusBarController) {
        statusBarController->onAuthChanged();
    }
}

void AppDelegate::applicationDidFinishLaunching() {
    platform_.application.setActivationPolicy(platform::ActivationPolicy::accessory);
    // Before the first menu: a sign-out the keyring held up in an earlier run stays a sign-out.
    oauth_.resumeSignOut();
    statusBarController = std::make_unique<StatusBarController>(platform_, keychain_, oauth_);
    statusBarController->setKeyringHandlers([this] { waitForKeyring(/*notice=*/false); },
                                            [this] { unlockKeyring(); });
    push_.requestPermission();
    // Presence alone counts: an expired token is exactly what the refresh is for.
    const auto token = keychain_.lookup(keys::accessToken);
    if (token.value) {
        oauth_.scheduleTokenRefresh();
    } else if (token.keyringUnreadable()) {
        waitForKeyring(/*notice=*/true);
    }
    platform_.keychainMonitor.setChangeHandler([this] { keyringChanged(); });
    platform_.systemEvents.setHandler([this](platform::SystemEvent) { systemChanged(); });
    platform_.userNotifications.setDelegate(this);
}

void AppDelegate::waitForKeyring(bool notice) {
    if (keyringRetry_) {
        return;  // waiting already
    }
    if (notice) {
        platform_.userNotifications.add(
            {.identifier = keyringNotice,
             .content = {
                 .title = "Mirrowen",
                 .body = "無法讀取鑰匙圈：它已鎖定、不存在或沒有回應，所以目前無法得知登入狀態。"
                         "點這則通知即可解鎖鑰匙圈；解鎖後會自動恢復登入狀態。"}});
    }
    keyringRetry_ = platform_.mainQueue.scheduleRepeating(keyringRetryInterval,
                                                          [this] { keyringMayBeReadable(); });
}

void AppDelegate::keyringChanged() {
    oauth_.resumeSignOut();
    // Locked while running: the menu says so now, not at the next check.
    if (!keyringRetry_ && keychain_.lookup(keys::accessToken).keyringUnreadable()) {
        statusBarController->checkHealth();
    }
    keyringMayBeReadable();
}

void AppDelegate::systemChanged() {
    oauth_.refreshIfDue([this] {
        statusBarController->checkHealth();
        statusBarController->fetchStats();
    });
}

void AppDelegate::keyringMayBeReadable() {
    if (!keyringRetry_) {
        return;  // not waiting (any more)
    }
    const auto token = keychain_.lookup(keys::accessToken);
    if (token.keyringUnreadable()) {
        return;
    }
    keyringRetry_.reset();
    // What a start that could read the keyring would have done.
    if (token.value) {
        oauth_.scheduleTokenRefresh();
        push_.reportAfterSignIn([] {});
    }
    statusBarController->onAuthChanged();
}

void AppDelegate::unlockKeyring() {
    platform_.executor.run([&keychain = keychain_, post = postToMain_, this] {
        if (keychain.unlock()) {
            post([this] { keyringMayBeReadable(); });
        }
    });
}

void AppDelegate::willPresent(const platform::NotificationRequest& /*notification*/,
                              const std::function<void(unsigned options)>& completionHandler) {
    completionHandler(platform::presentationBanner | platform::presentationSound);
}

void AppDelegate::didReceive(const platform::NotificationResponse& response,
                             const std::function<void()>& completionHandler) {
    if (response.request.identifier == keyringNotice) {
        unlockKeyring();
        completionHandler();
        return;
    }
    const auto& userInfo = response.request.content.userInfo;
    if (userInfo.is_object()) {
        const auto url = userInfo.find("url");
        if (url != userInfo.end() && url->is_string()) {
            const auto text = url->get<std::string>();
            if (isWebUrl(text, platform_.urls, platform_.systemLog, kPushLogCategory)) {
                platform_.workspace.open(text);
            }
        }
    }
    completionHandler();
}

void AppDelegate::didRegisterForRemoteNotifications(const std::string& deviceToken) {
    push_.didRegisterForRemoteNotifications(deviceToken);
}

void AppDelegate::didFailToRegisterForRemoteNotifications(const std::string& localizedDescription) {
    push_.didFailToRegisterForRemoteNotifications(localizedDescription);
}

void AppDelegate::didReceiveRemoteNotification(const std::string& payload,
                                               const std::string& identifier) {
    // In a namespace of their own: a pushed id must never name one of our own notices.
    if (auto notification = notificationFromPush(payload, "push/" + identifier)) {
        platform_.userNotifications.add(*notification);
        return;
    }
    // The payload may be personal: only its size is logged.
    platform_.systemLog.write(kBundleIdentifier, kPushLogCategory,
                              "ignored a pushed message of " + std::to_string(payload.size()) +
                                  " bytes: not a JSON object with a title or a body");
}

}  // namespace zandorin
