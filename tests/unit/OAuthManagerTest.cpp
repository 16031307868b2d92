#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "auth/OAuthManager.h"
#include "support/Fakes.h"

namespace zandorin {

struct OAuthManagerProbe {
    static std::size_t refreshWaiters(OAuthManager& oauth) {
        std::lock_guard lock(oauth.refreshMutex_);
        return oauth.refreshWaiters_;
    }
};

namespace {

using namespace std::chrono_literals;
using platform::HttpResponse;
using platform::TransferError;
using test::answer;

constexpr const char* kIssuer = "https://auth.zandorin.com/realms/zandorin";
constexpr const char* kCallback = "zandorin-auth://callback?code=c";
const std::string kSuccess = "[OAuth] 登入成功，token 已存入 Keychain";
const std::string kExchangeFailed = "[OAuth] token exchange 失敗";
const std::string kLost = "[OAuth] 登入失敗：token 無法存入 Keychain";
const std::string kRefreshLost =
    "[OAuth] 新的 refresh token 無法存入 Keychain，已移除舊的 refresh token";
// A stored refresh token with characters that a form body must not carry as they are.
const std::string kRefresh = "R1+/=";

const HttpResponse kPair = answer(200, R"({"access_token":"A2","refresh_token":"R2"})");
const HttpResponse kAccessOnly = answer(200, R"({"access_token":"A2"})");
const HttpResponse kInvalidGrant = answer(400, R"({"error":"invalid_grant"})");

class OAuthManagerTest : public ::testing::Test {
protected:
    OAuthManagerTest() {
        // Counted on the main queue, where the menu hears of them.
        keychain.events().onSignedIn([this](SignInEvents::Next next) {
            fakes.mainQueue.post([this] { ++announced; });
            next();
        });
        keychain.events().onSignedOut([this] { ++announced; });
    }

    std::shared_ptr<test::FakeDesktop::Session> startSignIn() {
        const auto before = fakes.desktop.sessions.size();
        oauth.login();
        return fakes.desktop.sessions.size() == before ? nullptr : fakes.desktop.sessions.back();
    }
    void refresh() {
        std::thread([this] { oauth.refreshAccessToken(); }).join();
        fakes.settle();
    }
    void store(const std::string& access, const std::optional<std::string>& refresh) {
        keychain.save(access, "access_token");
        refresh ? keychain.save(*refresh, "refresh_token") : keychain.remove("refresh_token");
    }
    // What a step left, ready for the next row.
    void forget() {
        fakes.console.lines.clear();
        fakes.desktop.notifications.clear();
        fakes.http.requests.clear();
        fakes.keychain.unlockPrompts = 0;
        announced = 0;
    }

    test::TestPlatform fakes;
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    OAuthManager oauth{fakes.platform, keychain};
    int announced = 0;
};

TEST_F(OAuthManagerTest, PkceFollowsRfc7636AndTheSignInIsAnnouncedOnTheMainQueue) {
    // RFC 7636 appendix B.
    fakes.crypto.nextBytes =
        "\x74\x18\xdf\xb4\x97\x99\xe0\x25\x4f\xfa\x60\x7d\xd8\xad\xbb\xba"
        "\x16\xd4\x25\x4d\x69\xd6\xbf\xf0\x5b\x58\x05\x58\x53\x84\x8d\x79";
    const auto session = startSignIn();
    ASSERT_TRUE(session && session->started);
    EXPECT_EQ(session->url, std::string(kIssuer) +
                                "/protocol/openid-connect/auth?client_id=zandorin-mcp"
                                "&redirect_uri=zandorin-auth://callback&response_type=code"
                                "&scope=openid%20offline_access"
                                "&code_challenge=E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"
                                "&code_challenge_method=S256");

    fakes.http.enqueue(kPair);
    session->completion("zandorin-auth://callback?code=c0de&iss=x", std::nullopt);
    EXPECT_TRUE(session->released);
    fakes.executor.runAllElsewhere();
    const auto request = fakes.http.requests.at(0);
    EXPECT_EQ(request.url, std::string(kIssuer) + "/protocol/openid-connect/token");
    EXPECT_EQ(request.body,
              "grant_type=authorization_code&client_id=zandorin-mcp&code=c0de"
              "&redirect_uri=zandorin-auth://callback"
              "&code_verifier=dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk");
    // The menu reacts on the main thread only.
    EXPECT_EQ(announced, 0);
    EXPECT_TRUE(fakes.desktop.notifications.empty());
    fakes.mainQueue.runPending();
    EXPECT_EQ(announced, 1);
    EXPECT_EQ(fakes.desktop.notificationIds(), std::vector<std::string>{"login-success"});
}

TEST_F(OAuthManagerTest, TheIssuerIsUsedAsWrittenAndABadOneOrNoRandomnessStartsNoSignIn) {
    const std::string path = "/protocol/openid-connect/auth";
    const std::vector<std::pair<std::string, std::string>> cases = {
        // The sign-in page with its query shown as "?Q"; empty: no sign-in starts.
        {"https://id.example.com/realms/r/", "https://id.example.com/realms/r/" + path + "?Q"},
        {"http://127.0.0.1:8080/realms/r", "http://127.0.0.1:8080/realms/r" + path + "?Q"},
        // Its own query or fragment swallows the path, as URL components do; the query is
        // then replaced.
        {"https://id.example.com/realms/r?kc=1", "https://id.example.com/realms/r?Q"},
        {"https://id.example.com/realms/r#f", "https://id.example.com/realms/r?Q#f" + path},
        {"not a url", ""},
        {"", ""},
        {kIssuer, ""},  // with a random source that fails
    };
    for (const auto& [issuer, expected] : cases) {
        fakes.desktop.infoPlist["KEYCLOAK_ISSUER"] = issuer;
        fakes.crypto.failing = issuer == kIssuer;
        fakes.console.lines.clear();
        const auto session = startSignIn();
        std::string url = session ? session->url : "";
        if (const auto query = url.find('?'); query != std::string::npos) {
            url.replace(query, url.find('#', query) - query, "?Q");
        }
        EXPECT_EQ(url, expected);
        EXPECT_EQ(fakes.console.lines.size(), expected.empty() ? 1u : 0u) << issuer;
    }
}

TEST_F(OAuthManagerTest, OnlyACallbackWithACodeIsExchangedAndTheCodeAddsNoFormFields) {
    fakes.http.fallback = [](const platform::HttpRequest&) { return kInvalidGrant; };
    // Any program can open a callback URL; without a sign-in under way it is dropped.
    oauth.handleCallback("zandorin-auth://callback?code=abc");
    fakes.executor.runAllElsewhere();
    EXPECT_TRUE(fakes.http.requests.empty());
    startSignIn()->completion(std::nullopt, platform::WebAuthError{"no browser"});
    EXPECT_EQ(fakes.console.lines,
              std::vector<std::string>{"[OAuth] auth session error: no browser"});
    fakes.console.lines.clear();

    const std::vector<std::pair<std::string, std::string>> cases = {
        // the callback; the code in the form body, empty when nothing is sent
        {"zandorin-auth://callback?code=a.b-c_d~e&iss=http%3A%2F%2F127.0.0.1", "a.b-c_d~e"},
        {"zandorin-auth://callback?state=s&code=first&code=second", "first"},
        {"zandorin-auth://callback?code=x%26grant_type%3Dpassword%2B",
         "x%26grant_type%3Dpassword%2B"},
        {"zandorin-auth://callback?code=a+b%20c", "a%2Bb%20c"},
        {"zandorin-auth://callback?code=&code=second", ""},
        {"zandorin-auth://callback?code&code=second", ""},
        {"zandorin-auth://callback?error=access_denied", ""},
        {"zandorin-auth://callback", ""},
        {"zandorin-auth://callback?code=%zz", ""},
        {"not a url", ""},
    };
    for (const auto& [url, code] : cases) {
        const auto session = startSignIn();
        fakes.http.requests.clear();
        session->completion(url, std::nullopt);
        fakes.executor.runAllElsewhere();
        EXPECT_EQ(session->released, !code.empty()) << url;
        ASSERT_EQ(fakes.http.requests.size(), code.empty() ? 0u : 1u) << url;
        for (const auto& request : fakes.http.requests) {
            EXPECT_NE(request.body.find("&code=" + code + "&"), std::string::npos) << url;
        }
    }
    // The refused exchanges say so; nothing else, and never a code, reaches the console.
    for (const auto& line : fakes.console.lines) {
        EXPECT_EQ(line, kExchangeFailed);
    }
}

TEST_F(OAuthManagerTest, OnlyTokensTheKeyringStoredAreKeptAndOnlyARefusingProviderSignsOut) {
    const std::string transient = "[OAuth] token refresh 暫時失敗，保留登入: ";
    struct Case {
        bool exchange;                               // a sign-in's code exchange, else a refresh
        std::optional<platform::HttpResult> result;  // nothing: no refresh token, no request
        std::string refused;  // the key whose write fails, or "locked" / "locked, dismissed"
        std::optional<std::string> access;  // nothing: signed out
        std::optional<std::string> refresh;
        std::string line;  // the first on the console
    };
    const std::vector<Case> cases = {
        {true, kPair, "", "A2", "R2", kSuccess},
        {true, kAccessOnly, "", "A2", {}, kSuccess},  // the old refresh token goes
        {true, answer(201, R"({"access_token":"A2","refresh_token":7})"), "", "A2", {}, kSuccess},
        {true, kInvalidGrant, "", "A1", kRefresh, kExchangeFailed},
        {true, answer(200, R"({"access_token":5})"), "", "A1", kRefresh, kExchangeFailed},
        {true, TransferError{"refused"}, "", "A1", kRefresh, kExchangeFailed},
        {true, kPair, "access_token", "A1", kRefresh, kLost},
        {true, kPair, "locked", "A2", "R2", kSuccess},
        {true, kPair, "locked, dismissed", "A1", kRefresh, kLost},
        {true, kPair, "refresh_token", "A2", {}, kRefreshLost},  // the old one goes along
        {false, std::nullopt, "", "A1", {}, ""},
        {false, kPair, "", "A2", "R2", ""},
        {false, kPair, "refresh_token", "A2", {}, kRefreshLost},
        {false, kAccessOnly, "", "A2", kRefresh, ""},
        {false, kInvalidGrant, "", {}, {}, ""},
        {false, answer(401, R"({"error":"invalid_client"})"), "", {}, {}, ""},
        // No network, a portal, a rate limit or a failing provider keeps the sign-in, even
        // with a token in the answer.
        {false, TransferError{"no route"}, "", "A1", kRefresh, transient + "no route"},
        {false, answer(503, ""), "", "A1", kRefresh, transient + "HTTP 503"},
        {false, answer(500, R"({"access_token":"A2"})"), "", "A1", kRefresh,
         transient + "HTTP 500"},
        {false, answer(429, R"({"error":"slow_down"})"), "", "A1", kRefresh,
         transient + "HTTP 429"},
        {false, answer(408, ""), "", "A1", kRefresh, transient + "HTTP 408"},
        {false, answer(302, "", {{"Location", "http://10.0.0.1/login"}}), "", "A1", kRefresh,
         transient + "HTTP 302"},
        {false, answer(200, "<html>Wi-Fi login</html>"), "", "A1", kRefresh,
         transient + "HTTP 200"},
        {false, answer(200, "{}"), "", "A1", kRefresh, transient + "HTTP 200"},
        {false, answer(404, R"({"error":"not_found"})"), "", "A1", kRefresh,
         transient + "HTTP 404"},
        {false, answer(400, "<html>Bad Request</html>"), "", "A1", kRefresh,
         transient + "HTTP 400"},
    };
    bool noticeSaid = false;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(i);
        oauth.logout();
        fakes.settle();
        store("A1", c.result ? std::optional(kRefresh) : std::nullopt);
        c.exchange ? void() : oauth.scheduleTokenRefresh();
        forget();
        if (c.result) {
            fakes.http.enqueue(*c.result);
        }
        const auto session = c.exchange ? startSignIn() : nullptr;
        const bool locked = c.refused.starts_with("locked");
        fakes.keychain.locked = locked;
        fakes.keychain.dismissPrompt = c.refused.ends_with("dismissed");
        fakes.keychain.beforeStore = [&](const platform::KeychainQuery& query) {
            return locked || c.refused.empty() || !query.account.ends_with(c.refused);
        };
        c.exchange ? session->completion(kCallback, std::nullopt) : refresh();
        fakes.settle();
        fakes.keychain.beforeStore = nullptr;
        fakes.keychain.locked = false;

        ASSERT_EQ(fakes.http.requests.size(), c.result ? 1u : 0u);
        EXPECT_TRUE(
            c.exchange || fakes.http.requests.empty() ||
            fakes.http.requests[0].body ==
                "grant_type=refresh_token&client_id=zandorin-mcp&refresh_token=R1%2B%2F%3D");
        EXPECT_EQ(keychain.load("access_token"), c.access);
        EXPECT_EQ(keychain.load("refresh_token"), c.refresh);
        const auto& lines = fakes.console.lines;
        EXPECT_EQ(lines.empty() ? "" : lines[0], c.line);
        for (const auto& line : lines) {
            EXPECT_EQ(line.find("R1"), std::string::npos) << line;
        }
        EXPECT_EQ(fakes.keychain.unlockPrompts, locked ? 1 : 0);
        const bool signedIn = c.exchange && c.access == "A2";
        EXPECT_EQ(!lines.empty() && lines.back() == kSuccess, signedIn);
        // A sign-out from the refresh's background thread still stops the refresh timer.
        EXPECT_EQ(announced, signedIn || !c.access ? 1 : 0);
        EXPECT_EQ(fakes.mainQueue.liveTimers(OAuthManager::refreshInterval),
                  (c.exchange ? signedIn : c.access.has_value()) ? 1u : 0u);
        // A sign-in that could not be kept is said once per run, in a notice of its own.
        const bool notice = c.line == kLost && !std::exchange(noticeSaid, true);
        EXPECT_EQ(fakes.desktop.notificationIds(),
                  signedIn ? std::vector<std::string>{"login-success"}
                  : notice ? std::vector<std::string>{OAuthManager::signInLostNotice}
                           : std::vector<std::string>{});
    }
}

TEST_F(OAuthManagerTest, ABusyProviderGetsTheTimeItAsksForButNeverMoreThanAPeriod) {
    // Retry-After as sent, on 429 or 503; how long no refresh request goes out afterwards.
    const std::vector<std::tuple<long, std::string, std::chrono::seconds>> cases = {
        {503, "Thu, 01 Jan 2026 00:01:00 GMT", 60s},  // the fake clock starts at midnight
        {429, "30", 30s},
        {429, "86400", OAuthManager::refreshInterval * 9 / 10},
        {429, "Thu, 01 Jan 2026 00:01:00 UTC", 0s},  // not a date a server may send
        {500, "30", 0s},
    };
    for (const auto& [status, header, wait] : cases) {
        store("A1", kRefresh);
        fakes.http.fallback = [&, status = status, header = header](const platform::HttpRequest&) {
            return answer(status, "", {{"Retry-After", header}});
        };
        fakes.http.requests.clear();
        refresh();
        if (wait > 0s) {
            fakes.mainQueue.advance(wait - 1s);
            refresh();
            EXPECT_EQ(fakes.http.requests.size(), 1u) << header;
            fakes.mainQueue.advance(1s);
        }
        refresh();
        EXPECT_EQ(fakes.http.requests.size(), 2u) << header;
        EXPECT_EQ(keychain.load("refresh_token"), kRefresh);
        fakes.mainQueue.advance(OAuthManager::refreshInterval);
    }
}

TEST_F(OAuthManagerTest, ConcurrentRefreshesShareOneRequest) {
    store("A1", kRefresh);
    std::promise<void> entered;
    std::promise<void> open;
    auto opened = open.get_future();
    fakes.http.fallback = [&](const platform::HttpRequest&) -> platform::HttpResult {
        if (opened.valid()) {  // the first request waits for the test
            entered.set_value();
            opened.wait_for(10s);
            opened = {};
        }
        return kPair;
    };
    std::thread first([this] { oauth.refreshAccessToken(); });
    entered.get_future().wait_for(10s);
    std::thread second([this] { oauth.refreshAccessToken(); });
    for (int i = 0; i < 1000 && OAuthManagerProbe::refreshWaiters(oauth) == 0; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(OAuthManagerProbe::refreshWaiters(oauth), 1u);
    open.set_value();
    first.join();
    second.join();
    EXPECT_EQ(fakes.http.requests.size(), 1u);

    // Once over, the next refresh sends its own request with the rotated token.
    refresh();
    EXPECT_TRUE(fakes.http.requests.at(1).body.ends_with("refresh_token=R2"));
}

TEST_F(OAuthManagerTest, TokensOfASignInThatASignOutEndedAreNotKept) {
    enum SignOut { afterRefreshTokenRead, inFlight, accessWrite, refreshWrite };
    const std::vector<std::tuple<bool, SignOut, HttpResponse>> cases = {
        // a code exchange, else a refresh; when the sign-out comes; the provider's answer
        {false, afterRefreshTokenRead, kPair}, {false, inFlight, kPair},
        {false, inFlight, kInvalidGrant},      {false, accessWrite, kAccessOnly},
        {false, refreshWrite, kPair},          {true, inFlight, kPair},
        {true, refreshWrite, kPair},
    };
    for (const auto& [exchange, when, result] : cases) {
        store("A1", kRefresh);
        forget();
        bool signedOut = false;
        auto signOutAt = [&, when = when](SignOut moment) {
            if (when == moment && !std::exchange(signedOut, true)) {
                oauth.logout();
            }
        };
        fakes.http.fallback = [&, result = result](const platform::HttpRequest&) {
            signOutAt(inFlight);
            return result;
        };
        fakes.keychain.afterRead = [&](const platform::KeychainQuery& query) {
            if (query.account.ends_with("refresh_token")) {
                signOutAt(afterRefreshTokenRead);
            }
        };
        fakes.keychain.beforeStore = [&](const platform::KeychainQuery& query) {
            signOutAt(query.account.ends_with("refresh_token") ? refreshWrite : accessWrite);
            return true;
        };
        SCOPED_TRACE(testing::Message() << exchange << when);
        exchange ? startSignIn()->completion(kCallback, std::nullopt) : refresh();
        fakes.settle();
        fakes.keychain.afterRead = nullptr;
        fakes.keychain.beforeStore = nullptr;
        EXPECT_TRUE(signedOut);
        EXPECT_FALSE(keychain.load("access_token"));
        EXPECT_FALSE(keychain.load("refresh_token"));
        EXPECT_EQ(announced, 1);
        EXPECT_TRUE(fakes.desktop.notifications.empty());
    }
}

TEST_F(OAuthManagerTest, ASignOutIsNeverUndoneAndRevokesTheRefreshTokenInTheBackground) {
    // Open, the tokens go at once; locked, once it is unlocked; left locked, they stay in the
    // keyring, used by nobody, until it opens; a sign-in while the prompt is open keeps its own.
    for (const std::string kept : {"open", "", "A1", "A2"}) {
        fakes.keychain.locked = false;
        store("A1", kRefresh);
        oauth.scheduleTokenRefresh();
        forget();
        fakes.keychain.locked = kept != "open";
        fakes.keychain.dismissPrompt = kept == "A1";
        if (kept == "A2") {
            fakes.keychain.whilePrompting = [this] {
                fakes.http.enqueue(kPair);
                startSignIn()->completion(kCallback, std::nullopt);
                fakes.executor.runNext();
            };
        }
        oauth.logout();
        EXPECT_EQ(fakes.mainQueue.liveTimers(), 0u);
        EXPECT_FALSE(keychain.load("access_token") || keychain.load("refresh_token"));
        EXPECT_EQ(fakes.keychain.unlockPrompts, 0) << "a prompt on the main thread";
        EXPECT_EQ(announced, 0);
        fakes.settle();
        EXPECT_EQ(fakes.keychain.unlockPrompts > 0, kept != "open");
        EXPECT_EQ(announced, kept == "A2" ? 2 : 1);
        fakes.keychain.locked = false;
        EXPECT_EQ(keychain.load("access_token").value_or(""), kept == "A2" ? "A2" : "");
        EXPECT_EQ(keychain.load("refresh_token").has_value(), kept == "A2");
        const bool pending = kept == "A1";
        EXPECT_EQ(fakes.desktop.flags.size(), pending ? 1u : 0u);
        EXPECT_EQ(fakes.desktop.notificationIds(),
                  pending        ? std::vector<std::string>{OAuthManager::signOutNotice}
                  : kept == "A2" ? std::vector<std::string>{"login-success"}
                                 : std::vector<std::string>{});
        // The keyring opens: the sign-out ends, also for a process started meanwhile.
        oauth.resumeSignOut();
        fakes.settle();
        EXPECT_TRUE(fakes.desktop.flags.empty());
        EXPECT_EQ(fakes.keychain.items.size(), kept == "A2" ? 2u : 0u);
        // Revoked once its value could be read; a sign-in meanwhile replaced it.
        std::vector<std::string> revoked;
        for (const auto& request : fakes.http.requests) {
            if (request.url == std::string(kIssuer) + "/protocol/openid-connect/revoke") {
                revoked.push_back(request.body);
            }
        }
        EXPECT_EQ(revoked, kept == "A2" ? std::vector<std::string>{}
                                        : std::vector<std::string>{
                                              "token=R1%2B%2F%3D&token_type_hint=refresh_token"
                                              "&client_id=zandorin-mcp"});
    }
}

TEST_F(OAuthManagerTest, ARescheduledRefreshStartsItsPeriodAgain) {
    store("A1", kRefresh);
    fakes.http.fallback = [](const platform::HttpRequest&) { return kAccessOnly; };
    oauth.scheduleTokenRefresh();
    fakes.mainQueue.advance(100s);
    oauth.scheduleTokenRefresh();
    fakes.mainQueue.advance(239s);
    EXPECT_EQ(fakes.executor.pending(), 0u);
    fakes.mainQueue.advance(1s);
    EXPECT_EQ(fakes.executor.pending(), 1u);
    fakes.settle();
    EXPECT_EQ(keychain.load("access_token"), "A2");
}

}  // namespace
}  // namespace zandorin
