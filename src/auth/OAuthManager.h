#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/MainPoster.h"
#include "platform/Platform.h"
#include "store/KeychainHelper.h"

namespace zandorin {

// Signs the user in to the identity provider with the authorization-code grant and PKCE,
// keeps the tokens fresh and signs out. Whoever must know of a sign-in or a sign-out hears it
// through the store's events.
class OAuthManager {
public:
    // Said once per run when a sign-in's tokens cannot be stored in the keyring.
    static constexpr const char* signInLostNotice = "keyring-sign-in-lost";
    // Said once per run when a sign-out the user asked for cannot remove the tokens yet.
    static constexpr const char* signOutNotice = "sign-out-unfinished";
    // Set while a sign-out has not removed both OAuth items; outlives the process.
    static constexpr const char* signOutPendingFlag = "sign-out-pending";

    static constexpr auto refreshInterval = std::chrono::seconds(240);
    static constexpr auto tokenRequestTimeout = std::chrono::seconds(60);

    OAuthManager(platform::Platform& platform, KeychainHelper& keychain);
    ~OAuthManager();

    OAuthManager(const OAuthManager&) = delete;
    OAuthManager& operator=(const OAuthManager&) = delete;

    // Opens the provider's sign-in page; returns at once. Main thread.
    void login();

    // Takes the code out of the provider's redirect and exchanges it in a background task.
    // Main thread.
    void handleCallback(const std::string& url);

    // The value of the first "code" item in the query of a callback URL, empty as it may be;
    // nothing without one or when the URL or its query cannot be read.
    static std::optional<std::string> callbackCode(const std::string& url,
                                                   const platform::UrlParser& urls);

    // Replaces the refresh timer by a new one; callable from any thread, the timer lives on
    // the main thread.
    void scheduleTokenRefresh();

    // One refresh, run in the calling background task. A caller arriving while a refresh is
    // in flight waits for that one's outcome instead of sending its own request.
    void refreshAccessToken();

    // Forgets the tokens locally; the withdrawal of the device token and the revocation of the
    // refresh token continue in the background. Until the keyring has let both items go, no
    // stored token is used; the removal is tried again by resumeSignOut(). Any thread.
    void logout();

    // At start and whenever the keyring changes: finishes a sign-out the keyring held up, in
    // the background. Main thread.
    void resumeSignOut();

    // After a suspend or a network outage: refreshes first, when a refresh tick fell in the
    // gap, then runs `then` on the main thread; at once otherwise. Main thread.
    void refreshIfDue(std::function<void()> then);

    // The string "access_token" (and "refresh_token", when present) of a token answer.
    struct TokenAnswer {
        std::string accessToken;
        std::optional<std::string> refreshToken;
    };

private:
    // Fields the behaviour names (codeVerifier, refreshTimer...) keep those names; plumbing of
    // our own ends in "_".
    friend struct OAuthManagerProbe;  // tests see how many refreshes wait

    static constexpr const char* clientId = "zandorin-mcp";
    static constexpr const char* callbackScheme = "zandorin-auth";
    static constexpr const char* redirectUri = "zandorin-auth://callback";
    static constexpr const char* scope = "openid offline_access";

    std::string keycloakIssuer() const;
    std::optional<std::string> generateCodeVerifier();
    std::string codeChallenge(const std::string& verifier);
    std::optional<std::string> authorizationUrl(const std::string& challenge) const;
    std::optional<std::string> tokenUrl() const;
    void sessionCompleted(const std::optional<std::string>& url,
                          const std::optional<platform::WebAuthError>& error);
    void exchangeCode(const std::string& code, const std::string& verifier, std::uint64_t epoch);
    void performRefresh();
    // Stores a sign-in's tokens; false when the keyring refused them or a sign-out came.
    bool storeSignIn(const TokenAnswer& answer, std::uint64_t epoch);
    // Removes the items of a sign-out still pending; true when none is left pending.
    bool finishPendingSignOut();
    void revoke(const std::string& refreshToken);
    void notifyOnce(std::atomic<bool>& shown, const char* identifier, std::string body);
    // A sign-out the user asked for may ask them to unlock the keyring to finish it.
    void signOut(bool userAsked);
    // The sign-out count that a sign-in's token writes answer to; nothing while a sign-out is
    // deleting the tokens, whose sign-in therefore is over.
    std::optional<std::uint64_t> signInEpoch() const;
    bool signedOutSince(std::uint64_t epoch) const { return signOutEpoch_.load() != epoch; }
    // A new refresh token; one that cannot be written takes the old one with it. False when
    // the old one stays.
    bool storeRefreshToken(const std::string& token);
    // Deletes the tokens just written when a sign-out came meanwhile; true when it did.
    bool undoIfSignedOutSince(std::uint64_t epoch);

    platform::Platform& platform_;
    KeychainHelper& keychain_;

    // Main thread only.
    std::optional<std::string> codeVerifier;
    std::unique_ptr<platform::Timer> refreshTimer;
    std::unique_ptr<platform::WebAuthSession> authSession;
    std::chrono::system_clock::time_point lastRefreshTick_;  // or the timer's start

    // One refresh at a time; later callers wait for its generation to end.
    std::mutex refreshMutex_;
    std::condition_variable refreshEnded_;
    bool refreshInFlight_ = false;
    std::uint64_t refreshGeneration_ = 0;
    std::size_t refreshWaiters_ = 0;

    // Bumped by every sign-out before it deletes the tokens, so that a token answer overtaken
    // by a sign-out is dropped, or undone if the sign-out came while it was being stored; a
    // sign-out counts as running until its deletions are over. No lock is held across a keyring
    // call: the main thread must never wait on a slow keyring.
    std::atomic<std::uint64_t> signOutEpoch_{0};
    std::atomic<bool> signInLostNoticeShown_{false};
    std::atomic<bool> signOutNoticeShown_{false};
    // A 429 or 503 answer's Retry-After: no refresh request before it.
    std::atomic<std::chrono::system_clock::time_point> refreshNotBefore_{};
    // Held by background tasks only, around a sign-in's writes and a pending sign-out's
    // removals, so that neither undoes the other.
    std::mutex tokenWrites_;
    std::atomic<unsigned> signOutsRunning_{0};

    Lifetime lifetime_;
    MainPoster postToMain_;
};

}  // namespace zandorin
