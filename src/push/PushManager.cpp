#include "push/PushManager.h"

#include <utility>

#include <nlohmann/json.hpp>

#include "common/ServiceConfig.h"

namespace zandorin {
namespace {

platform::HttpRequest pushTokenRequest(std::string method, std::string url,
                                       const std::string& accessToken, const nlohmann::json& body) {
    platform::HttpRequest request;
    request.method = std::move(method);
    request.url = std::move(url);
    request.headers = {{"Content-Type", "application/json"},
                       {"Authorization", "Bearer " + accessToken}};
    request.body = body.dump();
    request.timeout = PushManager::requestTimeout;
    return request;
}

}  // namespace

PushManager::PushManager(platform::Platform& platform, KeychainHelper& keychain)
    : platform_(platform), keychain_(keychain), serverURL_(serviceBaseUrl(platform.bundle)) {}

void PushManager::requestPermission() {
    using namespace platform;
    platform_.userNotifications.requestAuthorization(
        authorizationAlert | authorizationSound | authorizationBadge,
        [this](bool granted, const std::optional<std::string>&) {
            if (granted) {
                permissionGranted_ = true;
                registerForRemoteNotifications();
            }
        });
}

void PushManager::registerForRemoteNotifications() {
    auto& remote = platform_.remoteNotifications;
    platform_.mainQueue.post([&remote] { remote.registerForRemoteNotifications(); });
}

void PushManager::didRegisterForRemoteNotifications(const std::string& deviceToken) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(deviceToken.size() * 2);
    for (const char byte : deviceToken) {
        const auto value = static_cast<unsigned char>(byte);
        text += kHex[value >> 4];
        text += kHex[value & 0x0F];
    }
    keychain_.save(text, keys::pushToken);
    inOrder([this] { registerTokenWithServer(); });
}

void PushManager::didFailToRegisterForRemoteNotifications(const std::string& localizedDescription) {
    platform_.console.writeLine("[Push] 無法取得 APNs token: " + localizedDescription);
}

std::optional<std::string> PushManager::pushTokenUrl() const {
    return endpointUrl(platform_.urls, serverURL_, "/push-token");
}

void PushManager::registerTokenWithServer() {
    if (const auto deviceToken = keychain_.load(keys::pushToken)) {
        report(*deviceToken);
    }
}

void PushManager::report(const std::string& deviceToken) {
    const auto accessToken = keychain_.load(keys::accessToken);
    if (!accessToken) {
        return;
    }
    const auto url = pushTokenUrl();
    if (!url) {
        return;
    }
    // The service knows a fixed set of platform values and shares the registration's shape with
    // the other clients; "macos" is the one it accepts for this desktop application.
    const auto result = platform_.http.send(pushTokenRequest(
        "POST", *url, *accessToken, {{"token", deviceToken}, {"platform", "macos"}}));
    // Only an accepted report counts as synchronised.
    if (const auto* failure = std::get_if<platform::TransferError>(&result)) {
        platform_.console.writeLine("[Push] device token 同步失敗: " + failure->description);
    } else if (const auto status = std::get<platform::HttpResponse>(result).status;
               status < 200 || status > 299) {
        platform_.console.writeLine("[Push] device token 同步失敗: HTTP " + std::to_string(status));
    } else {
        platform_.console.writeLine("[Push] device token 已同步至 server");
    }
}

void PushManager::reportAfterSignIn(std::function<void()> then) {
    inOrder([this, then = std::move(then)] {
        if (const auto deviceToken = keychain_.load(keys::pushToken)) {
            report(*deviceToken);
        } else if (permissionGranted_) {
            registerForRemoteNotifications();
        }
        then();
    });
}

void PushManager::startWithdrawal() {
    inOrder([this, withdrawal = prepareWithdrawal()] { unregisterToken(withdrawal); });
}

void PushManager::inOrder(std::function<void()> task) {
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(std::move(task));
        if (std::exchange(draining_, true)) {
            return;
        }
    }
    platform_.executor.run([this] { drain(); });
}

void PushManager::drain() {
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(queueMutex_);
            if (queue_.empty()) {
                draining_ = false;
                return;
            }
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
    }
}

PushManager::Withdrawal PushManager::prepareWithdrawal() const {
    return {keychain_.load(keys::pushToken), keychain_.load(keys::accessToken)};
}

void PushManager::unregisterToken(const Withdrawal& withdrawal) {
    if (!withdrawal.deviceToken || !withdrawal.accessToken) {
        return;
    }
    const auto url = pushTokenUrl();
    if (!url) {
        return;
    }
    platform_.http.send(pushTokenRequest("DELETE", *url, *withdrawal.accessToken,
                                         {{"token", *withdrawal.deviceToken}}));
    keychain_.remove(keys::pushToken);
}

}  // namespace zandorin
