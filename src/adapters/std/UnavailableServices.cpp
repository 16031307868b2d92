#include "adapters/std/UnavailableServices.h"

namespace zandorin::adapters {

namespace {
class FailingSession final : public platform::WebAuthSession {
public:
    explicit FailingSession(platform::WebAuthCompletion completion)
        : completion_(std::move(completion)) {}
    void setPrefersEphemeralWebBrowserSession(bool /*ephemeral*/) override {}
    bool start() override {
        completion_(std::nullopt, platform::WebAuthError{"web sign-in is not available"});
        return false;
    }

private:
    platform::WebAuthCompletion completion_;
};
}  // namespace

std::unique_ptr<platform::WebAuthSession> UnavailableWebAuthSessionFactory::makeSession(
    const std::string& /*url*/, const std::string& /*callbackScheme*/,
    platform::WebAuthCompletion completion) {
    return std::make_unique<FailingSession>(std::move(completion));
}

void UnavailableUserNotificationCenter::requestAuthorization(
    unsigned /*options*/, std::function<void(bool, const std::optional<std::string>&)> completion) {
    completion(false, std::string("no notification service"));
}

void UnavailableUserNotificationCenter::add(const platform::NotificationRequest& /*request*/) {}

void UnavailableUserNotificationCenter::setDelegate(platform::UserNotificationDelegate* /*d*/) {}

void UnavailableRemoteNotifications::setDelegate(platform::RemoteNotificationsDelegate* delegate) {
    delegate_ = delegate;
}

void UnavailableRemoteNotifications::registerForRemoteNotifications() {
    if (delegate_) {
        delegate_->didFailToRegisterForRemoteNotifications("no push service on this desktop");
    }
}

}  // namespace zandorin::adapters
