#include "auth/OAuthManager.h"

namespace zandorin {

OAuthManager::OAuthManager(platform::Platform& platform, KeychainHelper& keychain)
    : platform_(platform), keychain_(keychain) {}

OAuthManager::~OAuthManager() = default;

void OAuthManager::scheduleTokenRefresh() {
    auto reschedule = [this] {
        if (refreshTimer) {
            refreshTimer->invalidate();
        }
        refreshTimer = platform_.mainQueue.scheduleRepeating(
            refreshInterval, [this] { platform_.executor.run([this] { refreshAccessToken(); }); });
    };
    if (platform_.mainQueue.isMainThread()) {
        reschedule();
    } else {
        platform_.mainQueue.post(std::move(reschedule));
    }
}

void OAuthManager::refreshAccessToken() {
    // The exchange with the identity provider comes with the sign-in flow.
    (void)keychain_;
}

}  // namespace zandorin
