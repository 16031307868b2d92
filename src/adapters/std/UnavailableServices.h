#pragma once

#include "platform/RemoteNotifications.h"
#include "platform/UserNotifications.h"
#include "platform/WebAuthSession.h"

namespace zandorin::adapters {

// Stand-ins for services this desktop does not offer: each fails plainly instead of pretending.

class UnavailableWebAuthSessionFactory final : public platform::WebAuthSessionFactory {
public:
    std::unique_ptr<platform::WebAuthSession> makeSession(
        const std::string& url, const std::string& callbackScheme,
        platform::WebAuthCompletion completion) override;
};

class UnavailableUserNotificationCenter final : public platform::UserNotificationCenter {
public:
    void requestAuthorization(
        unsigned options,
        std::function<void(bool, const std::optional<std::string>&)> completion) override;
    void add(const platform::NotificationRequest& request) override;
    void setDelegate(platform::UserNotificationDelegate* delegate) override;
};

class UnavailableRemoteNotifications final : public platform::RemoteNotifications {
public:
    void setDelegate(platform::RemoteNotificationsDelegate* delegate) override;
    void registerForRemoteNotifications() override;

private:
    platform::RemoteNotificationsDelegate* delegate_ = nullptr;
};

}  // namespace zandorin::adapters
