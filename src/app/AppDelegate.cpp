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
    : platform_(platform), keychain_(keychain), oauth_(oauth), push_(push) {}

void AppDelegate::applicationDidFinishLaunching() {
    platform_.application.setActivationPolicy(platform::ActivationPolicy::accessory);
    statusBarController = std::make_unique<StatusBarController>(platform_, keychain_, oauth_);
    push_.requestPermission();
    // Presence alone counts: an expired token is exactly what the refresh is for.
    if (keychain_.load("access_token")) {
        oauth_.scheduleTokenRefresh();
    }
    platform_.userNotifications.setDelegate(this);
}

void AppDelegate::willPresent(const platform::NotificationRequest& /*notification*/,
                              const std::function<void(unsigned options)>& completionHandler) {
    completionHandler(platform::presentationBanner | platform::presentationSound);
}

void AppDelegate::didReceive(const platform::NotificationResponse& response,
                             const std::function<void()>& completionHandler) {
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
    if (auto notification = notificationFromPush(payload, identifier)) {
        platform_.userNotifications.add(*notification);
        return;
    }
    // The payload may be personal: only its size is logged.
    platform_.systemLog.write(kBundleIdentifier, kPushLogCategory,
                              "ignored a pushed message of " + std::to_string(payload.size()) +
                                  " bytes: not a JSON object with a title or a body");
}

}  // namespace zandorin
