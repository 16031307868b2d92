#pragma once

#include <memory>
#include <string>

#include "auth/KeychainHelper.h"
#include "platform/Platform.h"

namespace zandorin {

// Signs the user in to the identity provider and keeps the tokens fresh.
class OAuthManager {
public:
    // Process-local notification posted from the main queue after a sign-in and every sign-out.
    static constexpr const char* authStateChanged = "ZandorinAuthStateChanged";

    static constexpr auto refreshInterval = std::chrono::seconds(240);

    OAuthManager(platform::Platform& platform, KeychainHelper& keychain);
    ~OAuthManager();

    OAuthManager(const OAuthManager&) = delete;
    OAuthManager& operator=(const OAuthManager&) = delete;

    // Replaces the refresh timer by a new one; callable from any thread, the timer lives on
    // the main thread.
    void scheduleTokenRefresh();

    // One refresh attempt; blocks the calling background task until it is over.
    void refreshAccessToken();

private:
    platform::Platform& platform_;
    KeychainHelper& keychain_;
    std::unique_ptr<platform::Timer> refreshTimer;  // main thread only
};

}  // namespace zandorin
