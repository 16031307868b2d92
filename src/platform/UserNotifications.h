#pragma once

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace zandorin::platform {

// Bit values of the original notification framework, kept so that they can be compared.
enum AuthorizationOption : unsigned {
    authorizationBadge = 1,
    authorizationSound = 2,
    authorizationAlert = 4
};
enum PresentationOption : unsigned {
    presentationBadge = 1,
    presentationSound = 2,
    presentationList = 8,
    presentationBanner = 16
};

struct NotificationContent {
    std::string title;
    std::string body;
    nlohmann::json userInfo = nlohmann::json::object();
};

struct NotificationRequest {
    std::string identifier;
    NotificationContent content;
};

struct NotificationResponse {
    NotificationRequest request;
    std::string actionIdentifier;
};

class UserNotificationDelegate {
public:
    virtual ~UserNotificationDelegate() = default;

    // A notification arrives while the application runs; the handler gets the options.
    virtual void willPresent(const NotificationRequest& notification,
                             const std::function<void(unsigned options)>& completionHandler) = 0;

    // The user responded to a delivered notification.
    virtual void didReceive(const NotificationResponse& response,
                            const std::function<void()>& completionHandler) = 0;
};

class UserNotificationCenter {
public:
    virtual ~UserNotificationCenter() = default;

    // The completion may come on any thread.
    virtual void requestAuthorization(
        unsigned options,
        std::function<void(bool granted, const std::optional<std::string>& error)> completion) = 0;

    virtual void add(const NotificationRequest& request) = 0;

    // Not owned; the delegate outlives the centre's use of it.
    virtual void setDelegate(UserNotificationDelegate* delegate) = 0;
};

}  // namespace zandorin::platform
