#include "auth/OAuthManager.h"

#include <nlohmann/json.hpp>

#include "common/Base64.h"
#include "common/JsonInput.h"
#include "common/UrlCoding.h"
#include "service/ServiceConfig.h"

namespace zandorin {
namespace {

constexpr std::size_t kVerifierBytes = 32;
constexpr const char* kAuthorizationPath = "/protocol/openid-connect/auth";
constexpr const char* kTokenPath = "/protocol/openid-connect/token";
// Built-in production realm, used when the Info.plist does not name another.
constexpr const char* kDefaultKeycloakIssuer = "https://auth.zandorin.com/realms/zandorin";

// The string "access_token" (and "refresh_token", when present) of a token answer.
struct TokenAnswer {
    std::string accessToken;
    std::optional<std::string> refreshToken;
};

std::optional<TokenAnswer> readTokenAnswer(const std::string& body) {
    const auto parsed = json::parseUntrusted(body);
    if (!parsed.is_object()) {
        return std::nullopt;
    }
    const auto access = parsed.find("access_token");
    if (access == parsed.end() || !access->is_string()) {
        return std::nullopt;
    }
    TokenAnswer answer{access->get<std::string>(), std::nullopt};
    if (const auto refresh = parsed.find("refresh_token");
        refresh != parsed.end() && refresh->is_string()) {
        answer.refreshToken = refresh->get<std::string>();
    }
    return answer;
}

platform::HttpRequest tokenRequest(const std::string& url, std::string body) {
    platform::HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    request.body = std::move(body);
    request.timeout = OAuthManager::tokenRequestTimeout;
    return request;
}

}  // namespace

OAuthManager::OAuthManager(platform::Platform& platform, KeychainHelper& keychain,
                           PushManager& push)
    : platform_(platform),
      keychain_(keychain),
      push_(push),
      postToMain_(lifetime_.poster(platform.mainQueue)) {}

OAuthManager::~OAuthManager() = default;

// The Info.plist's KEYCLOAK_ISSUER when it is a string, unchanged.
std::string OAuthManager::keycloakIssuer() const {
    return platform_.bundle.stringValue("KEYCLOAK_ISSUER").value_or(kDefaultKeycloakIssuer);
}

std::optional<std::string> OAuthManager::generateCodeVerifier() {
    const auto bytes = platform_.crypto.randomBytes(kVerifierBytes);
    if (!bytes || bytes->size() != kVerifierBytes) {
        return std::nullopt;
    }
    return base64::encodeUrlNoPadding(*bytes);
}

std::string OAuthManager::codeChallenge(const std::string& verifier) {
    return base64::encodeUrlNoPadding(platform_.crypto.sha256(verifier));
}

std::optional<std::string> OAuthManager::authorizationUrl(const std::string& challenge) const {
    const auto parsed = platform_.urls.parse(keycloakIssuer() + kAuthorizationPath);
    if (!parsed) {
        return std::nullopt;
    }
    // Whatever query the issuer had is replaced by exactly these items, in this order.
    std::string url = parsed->scheme + "://" + parsed->host;
    if (parsed->port) {
        url += ":" + *parsed->port;
    }
    url += parsed->path;
    url += "?" + url::buildQuery({{"client_id", clientId},
                                  {"redirect_uri", redirectUri},
                                  {"response_type", "code"},
                                  {"scope", scope},
                                  {"code_challenge", challenge},
                                  {"code_challenge_method", "S256"}});
    if (parsed->fragment) {
        url += "#" + *parsed->fragment;
    }
    return url;
}

std::optional<std::string> OAuthManager::tokenUrl() const {
    return endpointUrl(platform_.urls, keycloakIssuer(), kTokenPath);
}

void OAuthManager::login() {
    const auto verifier = generateCodeVerifier();
    if (!verifier) {
        // A verifier from a failing generator would be guessable; better no sign-in at all.
        platform_.console.writeLine("[OAuth] 無法取得安全亂數，登入未開始");
        return;
    }
    codeVerifier = verifier;
    const auto url = authorizationUrl(codeChallenge(*verifier));
    if (!url) {
        platform_.console.writeLine("[OAuth] KEYCLOAK_ISSUER 不是有效的網址，登入未開始: " +
                                    keycloakIssuer());
        return;
    }
    auto session = platform_.webAuth.makeSession(
        *url, callbackScheme,
        [this, alive = lifetime_.token()](const std::optional<std::string>& callbackUrl,
                                          const std::optional<platform::WebAuthError>& error) {
            if (alive.lock()) {
                sessionCompleted(callbackUrl, error);
            }
        });
    session->setPrefersEphemeralWebBrowserSession(false);
    session->start();
    authSession = std::move(session);
}

void OAuthManager::sessionCompleted(const std::optional<std::string>& url,
                                    const std::optional<platform::WebAuthError>& error) {
    if (error) {
        platform_.console.writeLine("[OAuth] auth session error: " + error->localizedDescription);
        return;
    }
    if (url) {
        handleCallback(*url);
    }
}

std::optional<std::string> OAuthManager::callbackCode(const std::string& url,
                                                      const platform::UrlParser& urls) {
    const auto parsed = urls.parse(url);
    if (!parsed || !parsed->query) {
        return std::nullopt;
    }
    const auto items = url::parseQuery(*parsed->query);
    if (!items) {
        return std::nullopt;
    }
    for (const auto& [name, value] : *items) {
        if (name == "code") {
            return value.value_or("");  // the first "code" decides, even an empty one
        }
    }
    return std::nullopt;
}

void OAuthManager::handleCallback(const std::string& url) {
    const auto code = callbackCode(url, platform_.urls);
    if (!code || code->empty() || !codeVerifier) {
        return;
    }
    authSession.reset();
    // The sign-in begins here: only a sign-out from now on ends it.
    platform_.executor.run([this, code = *code, verifier = *codeVerifier,
                            epoch = signOutEpoch_.load()] { exchangeCode(code, verifier, epoch); });
}

std::optional<std::uint64_t> OAuthManager::signInEpoch() const {
    // In this order: a sign-out raises the count after it counts itself as running.
    const std::uint64_t epoch = signOutEpoch_.load();
    if (signOutsRunning_.load() > 0) {
        return std::nullopt;
    }
    return epoch;
}

void OAuthManager::storeRefreshToken(const std::string& token) {
    if (keychain_.save(token, keys::refreshToken) == platform::KeychainStatus::success) {
        return;
    }
    // The provider would refuse the old one at the next refresh and so end the sign-in; without
    // it the access token works until it expires.
    keychain_.remove(keys::refreshToken);
    platform_.console.writeLine(
        "[OAuth] 新的 refresh token 無法存入 Keychain，已移除舊的 refresh token");
}

bool OAuthManager::undoIfSignedOutSince(std::uint64_t epoch) {
    if (!signedOutSince(epoch)) {
        return false;
    }
    keychain_.remove(keys::accessToken);
    keychain_.remove(keys::refreshToken);
    return true;
}

void OAuthManager::exchangeCode(const std::string& code, const std::string& verifier,
                                std::uint64_t epoch) {
    const auto url = tokenUrl();
    if (!url) {
        return;
    }
    // The code arrived in a URL any program can open, so every value is form-encoded; real
    // codes and verifiers go out byte for byte all the same.
    const std::string body = "grant_type=authorization_code&client_id=" + std::string(clientId) +
                             "&code=" + url::encodeFormValue(code) +
                             "&redirect_uri=" + url::encodeQueryValue(redirectUri) +
                             "&code_verifier=" + url::encodeFormValue(verifier);
    const auto result = platform_.http.send(tokenRequest(*url, body));
    const auto* response = std::get_if<platform::HttpResponse>(&result);
    const auto answer = response ? readTokenAnswer(response->body) : std::nullopt;
    if (!answer) {
        platform_.console.writeLine("[OAuth] token exchange 失敗");
        return;
    }
    if (signedOutSince(epoch)) {
        return;
    }
    ++signIns_;
    // The user is signing in, so a locked keyring may ask them to unlock it now.
    auto stored = keychain_.save(answer->accessToken, keys::accessToken);
    if (stored == platform::KeychainStatus::locked && keychain_.unlock()) {
        stored = keychain_.save(answer->accessToken, keys::accessToken);
    }
    if (stored != platform::KeychainStatus::success) {
        platform_.console.writeLine("[OAuth] 登入失敗：token 無法存入 Keychain");
        if (!keyringNoticeShown_.exchange(true)) {
            postToMain_([this] {
                platform_.userNotifications.add(
                    {.identifier = keyringNotice,
                     .content = {.title = "Mirrowen",
                                 .body = "登入無法保存：鑰匙圈已鎖定或不存在。請解鎖鑰匙圈"
                                         "（或安裝並啟動 gnome-keyring 等 Secret Service），"
                                         "再登入一次。"}});
            });
        }
        return;
    }
    if (answer->refreshToken) {
        storeRefreshToken(*answer->refreshToken);
    } else {
        keychain_.remove(keys::refreshToken);
    }
    if (undoIfSignedOutSince(epoch)) {
        return;
    }
    scheduleTokenRefresh();
    push_.reportAfterSignIn([this, epoch] {
        if (signedOutSince(epoch)) {
            return;  // not announced: a sign-out ended it while the report ran
        }
        postToMain_([this] {
            platform_.notificationCenter.post(authStateChanged);
            platform_.userNotifications.add(
                {.identifier = "login-success",
                 .content = {.title = "Mirrowen", .body = "登入成功！MCP 已準備就緒。"}});
        });
        platform_.console.writeLine("[OAuth] 登入成功，token 已存入 Keychain");
    });
}

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
        postToMain_(std::move(reschedule));
    }
}

void OAuthManager::refreshAccessToken() {
    {
        std::unique_lock lock(refreshMutex_);
        if (refreshInFlight_) {
            const auto generation = refreshGeneration_;
            ++refreshWaiters_;
            refreshEnded_.wait(lock, [&] { return refreshGeneration_ != generation; });
            --refreshWaiters_;
            return;
        }
        refreshInFlight_ = true;
    }
    performRefresh();
    {
        std::lock_guard lock(refreshMutex_);
        refreshInFlight_ = false;
        ++refreshGeneration_;
    }
    refreshEnded_.notify_all();
}

void OAuthManager::performRefresh() {
    // Taken before the refresh token is read: a sign-out between the read and the answer must
    // not see its tokens stored again.
    const auto epoch = signInEpoch();
    if (!epoch) {
        return;
    }
    const auto refreshToken = keychain_.load(keys::refreshToken);
    if (!refreshToken) {
        return;
    }
    const auto url = tokenUrl();
    if (!url) {
        return;
    }
    const std::string body = "grant_type=refresh_token&client_id=" + std::string(clientId) +
                             "&refresh_token=" + url::encodeFormValue(*refreshToken);
    const auto result = platform_.http.send(tokenRequest(*url, body));

    // Only an answer of the provider that refuses ends the sign-in; no network or a failing
    // provider keeps both tokens for the next attempt.
    if (const auto* failure = std::get_if<platform::TransferError>(&result)) {
        platform_.console.writeLine("[OAuth] token refresh 暫時失敗，保留登入: " +
                                    failure->description);
        return;
    }
    const auto& response = std::get<platform::HttpResponse>(result);
    if (response.status >= 500) {
        platform_.console.writeLine("[OAuth] token refresh 暫時失敗，保留登入: HTTP " +
                                    std::to_string(response.status));
        return;
    }
    if (signedOutSince(*epoch)) {
        return;  // signed out meanwhile: the answer belongs to an ended sign-in
    }
    const auto answer = readTokenAnswer(response.body);
    if (!answer) {
        signOut(/*userAsked=*/false);
        return;
    }
    keychain_.save(answer->accessToken, keys::accessToken);
    if (answer->refreshToken) {
        storeRefreshToken(*answer->refreshToken);
    }
    undoIfSignedOutSince(*epoch);
}

void OAuthManager::logout() {
    signOut(/*userAsked=*/true);
}

void OAuthManager::signOut(bool userAsked) {
    auto stopTimer = [this] {
        if (refreshTimer) {
            refreshTimer->invalidate();
            refreshTimer.reset();
        }
    };
    if (platform_.mainQueue.isMainThread()) {
        stopTimer();
    } else {
        postToMain_(std::move(stopTimer));
    }

    push_.startWithdrawal();

    ++signOutsRunning_;
    ++signOutEpoch_;
    const bool accessLocked =
        keychain_.remove(keys::accessToken) == platform::KeychainStatus::locked;
    const bool refreshLocked =
        keychain_.remove(keys::refreshToken) == platform::KeychainStatus::locked;
    --signOutsRunning_;
    if (userAsked && (accessLocked || refreshLocked)) {
        // The tokens would come back with the keyring. The user asked for the sign-out, so the
        // keyring may ask them to unlock it, away from the main thread; a sign-in since then
        // keeps its own tokens. A refused refresh asks nobody: its next attempt, once the
        // keyring is open, is refused again.
        platform_.executor.run([this, signIns = signIns_.load()] {
            if (keychain_.unlock() && signIns_.load() == signIns) {
                keychain_.remove(keys::accessToken);
                keychain_.remove(keys::refreshToken);
            }
        });
    }
    postToMain_([this] { platform_.notificationCenter.post(authStateChanged); });
}

}  // namespace zandorin
