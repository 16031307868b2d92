#include "push/PushManager.h"

#include "service/ServiceConfig.h"

namespace zandorin {

PushManager::PushManager(platform::Platform& platform, KeychainHelper& keychain)
    : platform_(platform), keychain_(keychain), serverURL_(serviceBaseUrl(platform.bundle)) {}

void PushManager::requestPermission() {
    using namespace platform;
    auto& mainQueue = platform_.mainQueue;
    auto& remote = platform_.remoteNotifications;
    platform_.userNotifications.requestAuthorization(
        authorizationAlert | authorizationSound | authorizationBadge,
        [&mainQueue, &remote](bool granted, const std::optional<std::string>&) {
            if (granted) {
                mainQueue.post([&remote] { remote.registerForRemoteNotifications(); });
            }
        });
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
    keychain_.save(text, "push_token");
}

void PushManager::didFailToRegisterForRemoteNotifications(const std::string& localizedDescription) {
    platform_.console.writeLine("[Push] 無法取得 APNs token: " + localizedDescription);
}

}  // namespace zandorin
