#include "auth/OAuthManager.h"

#include <nlohmann/json.hpp>

#include "common/Base64.h"
#include "common/JsonInput.h"
#include "common/ServiceConfig.h"
#include "common/UrlCoding.h"

namespace zandorin {
namespace {

constexpr std::size_t kVerifierBytes = 32;
constexpr const char* kAuthorizationPath = "/protocol/openid-connect/auth";
constexpr const char* kTokenPath = "/protocol/openid-connect/token";
// RFC 7009, beside the token endpoint as providers of this layout put it.
constexpr const char* kRevocationPath = "/protocol/openid-connect/revoke";
constexpr const char* kTransientRefreshLine = "[OAuth] token refresh 暫時失敗，保留登入: ";
// Built-in production realm, used when the Info.plist does not name another.
constexpr const char* kDefaultKeycloakIssuer = "https://auth.zandorin.com/realms/zandorin";

using TokenAnswer = OAuthManager::TokenAnswer;

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

// The provider's refusal of a refresh token: 400 or 401 with an OAuth error object (RFC 6749
// section 5.2). Anything else may come from a portal, a proxy or a provider in trouble.
bool isRefusal(const platform::HttpResponse& response) {
    if (response.status != 400 && response.status != 401) {
        return false;
    }
    const auto parsed = json::parseUntrusted(response.body);
    const auto error = parsed.is_object() ? parsed.find("error") : parsed.end();
    return parsed.is_object() && error != parsed.end() && error->is_string();
}

// "Sun, 06 Nov 1994 08:49:37 GMT" (RFC 9110's IMF-fixdate, the form servers send).
std::optional<std::chrono::system_clock::time_point> httpDate(std::string_view text) {
    static constexpr std::string_view kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (text.size() != 29 || text.substr(3, 2) != ", " || !text.ends_with(" GMT")) {
        return std::nullopt;
    }
    auto number = [&](std::size_t at, std::size_t length) -> std::optional<int> {
        int value = 0;
        for (const char c : text.substr(at, length)) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            value = value * 10 + (c - '0');
        }
        return value;
    };
    const auto month = kMonths.find(text.substr(8, 3));
    const auto day = number(5, 2);
    const auto year = number(12, 4);
    const auto hour = number(17, 2);
    const auto minute = number(20, 2);
    const auto second = number(23, 2);
    if (month == std::string_view::npos || month % 3 != 0 || !day || !year || !hour || !minute ||
        !second || text[19] != ':' || text[22] != ':') {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year(*year),
                                           std::chrono::month(static_cast<unsigned>(month / 3 + 1)),
                                           std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok()) {
        return std::nullopt;
    }
    return std::chrono::sys_days(date) + std::chrono::hours(*hour) + std::chrono::minutes(*minute) +
           std::chrono::seconds(*second);
}

// How long a 429 or 503 asks us to wait (RFC 9110 section 10.2.3): seconds or a date.
std::optional<std::chrono::system_clock::duration> retryAfter(
    const platform::HttpResponse& response, std::chrono::system_clock::time_point now) {
    if (response.status != 429 && response.status != 503) {
        return std::nullopt;
    }
    const auto value = response.header("Retry-After");
    if (!value || value->empty()) {
        return std::nullopt;
    }
    if (value->find_first_not_of("0123456789") == std::string::npos) {
        // Anything longer than a day is as good as a day: the caller caps it far below.
        return std::chrono::seconds(value->size() > 5 ? 86400 : std::stol(*value));
    }
    if (const auto date = httpDate(*value)) {
        return std::max(*date - now, std::chrono::system_clock::duration::zero());
    }
    return std::nullopt;
}

bool removed(platform::KeychainStatus status) {
    return status == platform::KeychainStatus::success ||
           status == platform::KeychainStatus::notFound;
}

platform::HttpRequest providerRequest(const std::string& url, std::string body) {
    platform::HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    request.body = std::move(body);
    request.timeout = OAuthManager::tokenRequestTimeout;
    return request;
}

}  // namespace

OAuthManager::OAuthManager(platform::Platform& platform, KeychainHelper& keychain)
    : platform_(platform), keychain_(keychain), postToMain_(lifetime_.poster(platform.mainQueue)) {}

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

bool OAuthManager::storeRefreshToken(const std::string& token) {
    if (keychain_.save(token, keys::refreshToken) == platform::KeychainStatus::success) {
        return true;
    }
    // The provider would refuse the old one at the next refresh and so end the sign-in; without
    // it the access token works until it expires.
    const bool gone = removed(keychain_.remove(keys::refreshToken));
    platform_.console.writeLine(
        "[OAuth] 新的 refresh token 無法存入 Keychain，已移除舊的 refresh token");
    return gone;
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
    const auto result = platform_.http.send(providerRequest(*url, body));
    const auto* response = std::get_if<platform::HttpResponse>(&result);
    const auto answer = response ? readTokenAnswer(response->body) : std::nullopt;
    if (!answer) {
        platform_.console.writeLine("[OAuth] token exchange 失敗");
        return;
    }
    if (signedOutSince(epoch) || !storeSignIn(*answer, epoch)) {
        return;
    }
    scheduleTokenRefresh();
    // Not announced when a sign-out ends it while the observers run.
    keychain_.events().signedIn(
        [this, epoch] { return !signedOutSince(epoch); },
        [this] {
            postToMain_([this] {
                platform_.userNotifications.add(
                    {.identifier = "login-success",
                     .content = {.title = "Mirrowen", .body = "登入成功！MCP 已準備就緒。"}});
            });
            platform_.console.writeLine("[OAuth] 登入成功，token 已存入 Keychain");
        });
}

bool OAuthManager::storeSignIn(const TokenAnswer& answer, std::uint64_t epoch) {
    // Not beside a sign-out still removing the items of the one it ended.
    std::lock_guard writes(tokenWrites_);
    // The user is signing in, so a locked keyring may ask them to unlock it now.
    auto stored = keychain_.save(answer.accessToken, keys::accessToken);
    if (stored == platform::KeychainStatus::locked && keychain_.unlock()) {
        stored = keychain_.save(answer.accessToken, keys::accessToken);
    }
    if (stored != platform::KeychainStatus::success) {
        platform_.console.writeLine("[OAuth] 登入失敗：token 無法存入 Keychain");
        notifyOnce(signInLostNoticeShown_, signInLostNotice,
                   "登入無法保存：鑰匙圈已鎖定或不存在。請解鎖鑰匙圈"
                   "（或安裝並啟動 gnome-keyring 等 Secret Service），再登入一次。");
        return false;
    }
    const bool refreshKept = answer.refreshToken ? storeRefreshToken(*answer.refreshToken)
                                                 : removed(keychain_.remove(keys::refreshToken));
    if (undoIfSignedOutSince(epoch)) {
        return false;
    }
    // Both items now belong to this sign-in, unless the old refresh token could not go.
    if (refreshKept && keychain_.tokensWithheld()) {
        keychain_.withholdTokens(false);
        platform_.stateFlags.set(signOutPendingFlag, false);
    }
    return true;
}

void OAuthManager::notifyOnce(std::atomic<bool>& shown, const char* identifier, std::string body) {
    if (shown.exchange(true)) {
        return;
    }
    postToMain_([this, identifier, body = std::move(body)] {
        platform_.userNotifications.add(
            {.identifier = identifier, .content = {.title = "Mirrowen", .body = body}});
    });
}

void OAuthManager::scheduleTokenRefresh() {
    auto reschedule = [this] {
        if (refreshTimer) {
            refreshTimer->invalidate();
        }
        lastRefreshTick_ = platform_.clock.now();
        refreshTimer = platform_.mainQueue.scheduleRepeating(refreshInterval, [this] {
            lastRefreshTick_ = platform_.clock.now();
            platform_.executor.run([this] { refreshAccessToken(); });
        });
    };
    if (platform_.mainQueue.isMainThread()) {
        reschedule();
    } else {
        postToMain_(std::move(reschedule));
    }
}

void OAuthManager::refreshIfDue(std::function<void()> then) {
    // The timer's period does not count a suspend: a tick due in the sleep has not come yet.
    if (!refreshTimer || platform_.clock.now() - lastRefreshTick_ < refreshInterval) {
        then();
        return;
    }
    scheduleTokenRefresh();
    platform_.executor.run([this, post = postToMain_, then = std::move(then)] {
        refreshAccessToken();
        post(then);
    });
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
    const auto now = platform_.clock.now();
    if (now < refreshNotBefore_.load()) {
        return;  // the provider asked us to wait
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
    const auto result = platform_.http.send(providerRequest(*url, body));

    // Only the provider's refusal ends the sign-in. No network, a captive portal, a rate limit
    // or a failing provider keeps both tokens for the next attempt.
    if (const auto* failure = std::get_if<platform::TransferError>(&result)) {
        platform_.console.writeLine(kTransientRefreshLine + failure->description);
        return;
    }
    const auto& response = std::get<platform::HttpResponse>(result);
    if (signedOutSince(*epoch)) {
        return;  // signed out meanwhile: the answer belongs to an ended sign-in
    }
    if (isRefusal(response)) {
        signOut(/*userAsked=*/false);
        return;
    }
    const bool success = response.status >= 200 && response.status <= 299;
    const auto answer = success ? readTokenAnswer(response.body) : std::nullopt;
    if (!answer) {
        if (const auto wait = retryAfter(response, now)) {
            // Never longer than a period: the next tick always tries again.
            refreshNotBefore_ = now + std::min<std::chrono::system_clock::duration>(
                                          *wait, refreshInterval * 9 / 10);
        }
        platform_.console.writeLine(std::string(kTransientRefreshLine) + "HTTP " +
                                    std::to_string(response.status));
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

    // Read while the sign-in still exists.
    keychain_.events().signingOut();
    const auto refreshToken = userAsked ? keychain_.load(keys::refreshToken) : std::nullopt;

    ++signOutsRunning_;
    ++signOutEpoch_;
    // From here on nothing uses the tokens, whether or not the keyring lets them go now; the
    // flag carries that over a restart.
    keychain_.withholdTokens(true);
    platform_.stateFlags.set(signOutPendingFlag, true);
    const auto accessStatus = keychain_.remove(keys::accessToken);
    const auto refreshStatus = keychain_.remove(keys::refreshToken);
    --signOutsRunning_;
    if (removed(accessStatus) && removed(refreshStatus)) {
        keychain_.withholdTokens(false);
        platform_.stateFlags.set(signOutPendingFlag, false);
    } else if (userAsked) {
        // The user asked, so the keyring may ask them to unlock it, away from the main thread.
        // A refused refresh asks nobody: the next change of the keyring finishes it.
        const bool locked = accessStatus == platform::KeychainStatus::locked ||
                            refreshStatus == platform::KeychainStatus::locked;
        platform_.executor.run([this, locked] {
            if (locked) {
                keychain_.unlock();
            }
            if (!finishPendingSignOut()) {
                notifyOnce(signOutNoticeShown_, signOutNotice,
                           "登出尚未完成：鑰匙圈無法刪除登入資料。在完成之前本程式不會使用它們；"
                           "鑰匙圈可以使用時會自動完成登出。");
            }
        });
    }
    if (refreshToken) {
        // Best effort and never in the way: a copy of it left anywhere dies with it.
        platform_.executor.run([this, token = *refreshToken] { revoke(token); });
    }
    postToMain_([this] { keychain_.events().signedOut(); });
}

void OAuthManager::resumeSignOut() {
    if (platform_.stateFlags.isSet(signOutPendingFlag)) {
        keychain_.withholdTokens(true);
    }
    if (keychain_.tokensWithheld()) {
        platform_.executor.run([this] { finishPendingSignOut(); });
    }
}

bool OAuthManager::finishPendingSignOut() {
    std::optional<std::string> refreshToken;
    {
        std::lock_guard writes(tokenWrites_);
        if (!keychain_.tokensWithheld()) {
            return true;  // finished, or a sign-in since then holds the items
        }
        // Perhaps not readable when the sign-out began: a copy left anywhere dies with it.
        refreshToken = keychain_.loadWithheld(keys::refreshToken);
        if (!removed(keychain_.remove(keys::accessToken)) ||
            !removed(keychain_.remove(keys::refreshToken))) {
            return false;
        }
        keychain_.withholdTokens(false);
        platform_.stateFlags.set(signOutPendingFlag, false);
    }
    if (refreshToken) {
        revoke(*refreshToken);
    }
    return true;
}

void OAuthManager::revoke(const std::string& refreshToken) {
    const auto url = endpointUrl(platform_.urls, keycloakIssuer(), kRevocationPath);
    if (!url) {
        return;
    }
    const auto result = platform_.http.send(providerRequest(
        *url, "token=" + url::encodeFormValue(refreshToken) +
                  "&token_type_hint=refresh_token&client_id=" + std::string(clientId)));
    // RFC 7009 answers 200 also for a token it did not know.
    if (const auto* failure = std::get_if<platform::TransferError>(&result)) {
        platform_.console.writeLine("[OAuth] refresh token 撤銷失敗: " + failure->description);
    } else if (const auto status = std::get<platform::HttpResponse>(result).status; status != 200) {
        platform_.console.writeLine("[OAuth] refresh token 撤銷失敗: HTTP " +
                                    std::to_string(status));
    }
}

}  // namespace zandorin
