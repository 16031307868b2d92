#include <gtest/gtest.h>

#include <condition_variable>
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
using Session = test::FakeDesktop::Session;

constexpr const char* kIssuer = "https://auth.zandorin.com/realms/zandorin";
const std::string kTokenUrl = std::string(kIssuer) + "/protocol/openid-connect/token";
const std::string kSuccess = "[OAuth] 登入成功，token 已存入 Keychain";
const std::string kExchangeFailed = "[OAuth] token exchange 失敗";
const std::string kNewPair = R"({"access_token":"A2","refresh_token":"R2"})";
// Stored refresh tokens hold characters a form body must not carry as they are.
const std::string kRefresh = "R1+/=";
const std::string kRefreshBody =
    "grant_type=refresh_token&client_id=zandorin-mcp&refresh_token=R1%2B%2F%3D";

HttpResponse answer(long status, std::string body) {
    return HttpResponse{status, {}, std::move(body)};
}

class OAuthManagerTest : public ::testing::Test {
protected:
    OAuthManagerTest() {
        fakes.notificationCenter.addObserver(OAuthManager::authStateChanged,
                                             [this] { ++announced; });
    }

    // Background tasks run on a thread of their own, as they do in the application.
    void runTasks() {
        std::thread([this] { fakes.executor.runAll(); }).join();
    }
    void settle() {
        runTasks();
        fakes.mainQueue.runPending();
    }
    std::shared_ptr<Session> startSignIn() {
        const auto before = fakes.desktop.sessions.size();
        oauth.login();
        return fakes.desktop.sessions.size() == before ? nullptr : fakes.desktop.sessions.back();
    }
    void refresh() {
        std::thread([this] { oauth.refreshAccessToken(); }).join();
        settle();
    }
    void store(const std::string& access, const std::optional<std::string>& refresh) {
        keychain.save(access, "access_token");
        refresh ? keychain.save(*refresh, "refresh_token") : keychain.remove("refresh_token");
    }

    test::TestPlatform fakes;
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    PushManager push{fakes.platform, keychain};
    OAuthManager oauth{fakes.platform, keychain, push};
    int announced = 0;
};

TEST_F(OAuthManagerTest, PkceFollowsRfc7636AndTheSignInIsAnnouncedOnTheMainQueue) {
    // RFC 7636 appendix B.
    fakes.crypto.nextBytes = {116, 24,     '\xdf', '\xb4', '\x97', '\x99', '\xe0', 37,
                              79,  '\xfa', 96,     125,    '\xd8', '\xad', '\xbb', '\xba',
                              22,  '\xd4', 37,     77,     105,    '\xd6', '\xbf', '\xf0',
                              91,  88,     5,      88,     83,     '\x84', '\x8d', 121};
    const auto session = startSignIn();
    ASSERT_TRUE(session);
    EXPECT_TRUE(session->started);
    EXPECT_EQ(session->url, std::string(kIssuer) +
                                "/protocol/openid-connect/auth?client_id=zandorin-mcp"
                                "&redirect_uri=zandorin-auth://callback&response_type=code"
                                "&scope=openid%20offline_access"
                                "&code_challenge=E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"
                                "&code_challenge_method=S256");

    fakes.http.enqueue(answer(200, kNewPair));
    session->completion("zandorin-auth://callback?code=c0de&iss=x", std::nullopt);
    EXPECT_TRUE(session->released);
    runTasks();
    ASSERT_EQ(fakes.http.requests().size(), 1u);
    EXPECT_EQ(fakes.http.requests()[0].url, kTokenUrl);
    EXPECT_EQ(fakes.http.requests()[0].body,
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

TEST_F(OAuthManagerTest, IssuerIsUsedAsWrittenAndABadOneOrNoRandomnessStartsNoSignIn) {
    struct Case {
        std::string issuer;
        std::string url;  // its query shown as "?Q"; empty: no sign-in starts
        bool randomFails = false;
    };
    const std::string path = "/protocol/openid-connect/auth";
    const std::vector<Case> cases = {
        {"https://id.example.com/realms/r/", "https://id.example.com/realms/r/" + path + "?Q"},
        {"http://127.0.0.1:8080/realms/r", "http://127.0.0.1:8080/realms/r" + path + "?Q"},
        // The issuer's own query or fragment swallows the path, as URL components do; the
        // query is then replaced.
        {"https://id.example.com/realms/r?kc=1", "https://id.example.com/realms/r?Q"},
        {"https://id.example.com/realms/r#f", "https://id.example.com/realms/r?Q#f" + path},
        {"not a url", ""},
        {"", ""},
        {kIssuer, "", true},
    };
    for (const auto& c : cases) {
        fakes.bundle.values["KEYCLOAK_ISSUER"] = c.issuer;
        fakes.crypto.failing = c.randomFails;
        fakes.console.clear();
        const auto session = startSignIn();
        if (c.url.empty()) {
            EXPECT_FALSE(session) << c.issuer;
            ASSERT_EQ(fakes.console.lines().size(), 1u) << c.issuer;
            EXPECT_TRUE(fakes.console.lines()[0].starts_with("[OAuth] ")) << c.issuer;
            continue;
        }
        ASSERT_TRUE(session) << c.issuer;
        std::string url = session->url;
        const auto query = url.find('?');
        url.replace(query, url.find('#', query) - query, "?Q");
        EXPECT_EQ(url, c.url);
    }
}

TEST_F(OAuthManagerTest, OnlyACallbackWithACodeIsExchangedAndTheCodeAddsNoFormFields) {
    // Any program can open a callback URL; without a sign-in under way it is dropped.
    oauth.handleCallback("zandorin-auth://callback?code=abc");
    runTasks();
    EXPECT_TRUE(fakes.http.requests().empty());
    startSignIn()->completion(std::nullopt, platform::WebAuthError{"no browser"});
    EXPECT_EQ(fakes.console.lines(),
              std::vector<std::string>{"[OAuth] auth session error: no browser"});
    fakes.console.clear();

    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"zandorin-auth://callback?code=a.b-c_d~e&iss=http%3A%2F%2F127.0.0.1", "code=a.b-c_d~e&"},
        {"zandorin-auth://callback?state=s&code=first&code=second", "code=first&"},
        {"zandorin-auth://callback?code=x%26grant_type%3Dpassword%2B",
         "code=x%26grant_type%3Dpassword%2B&"},
        {"zandorin-auth://callback?code=a+b%20c", "code=a%2Bb%20c&"},
        {"zandorin-auth://callback?code=&code=second", std::nullopt},
        {"zandorin-auth://callback?code&code=second", std::nullopt},
        {"zandorin-auth://callback?error=access_denied", std::nullopt},
        {"zandorin-auth://callback", std::nullopt},
        {"zandorin-auth://callback?code=%zz", std::nullopt},
        {"not a url", std::nullopt},
    };
    for (const auto& [url, code] : cases) {
        const auto session = startSignIn();
        const auto before = fakes.http.requests().size();
        fakes.http.enqueue(answer(400, R"({"error":"invalid_grant"})"));
        session->completion(url, std::nullopt);
        runTasks();
        const auto requests = fakes.http.requests();
        ASSERT_EQ(requests.size(), before + (code ? 1 : 0)) << url;
        EXPECT_EQ(session->released, code.has_value()) << url;
        if (code) {
            EXPECT_NE(requests.back().body.find("&" + *code), std::string::npos) << url;
        }
    }
    // The refused exchanges say so; nothing else, and never a code, reaches the console.
    for (const auto& line : fakes.console.lines()) {
        EXPECT_EQ(line, kExchangeFailed);
    }
}

TEST_F(OAuthManagerTest, ExchangeOutcomes) {
    struct Case {
        std::string name;
        platform::HttpResult result;
        std::string refused;  // the key whose write fails, or "locked" / "locked, dismissed"
        std::optional<std::string> access;
        std::optional<std::string> refresh;
        std::vector<std::string> lines;
    };
    const std::string lost = "[OAuth] 登入失敗：token 無法存入 Keychain";
    const std::vector<Case> cases = {
        {"both tokens", answer(200, kNewPair), "", "A2", "R2", {kSuccess}},
        {"without a refresh token the old one goes",
         answer(200, R"({"access_token":"A2"})"),
         "",
         "A2",
         std::nullopt,
         {kSuccess}},
        {"status unexamined, refresh token of another type",
         answer(201, R"({"access_token":"A2","refresh_token":7})"),
         "",
         "A2",
         std::nullopt,
         {kSuccess}},
        {"provider refuses",
         answer(400, R"({"error":"invalid_grant"})"),
         "",
         "A1",
         kRefresh,
         {kExchangeFailed}},
        {"access token of another type",
         answer(200, R"({"access_token":5})"),
         "",
         "A1",
         kRefresh,
         {kExchangeFailed}},
        {"not JSON", answer(200, "<html>"), "", "A1", kRefresh, {kExchangeFailed}},
        {"no answer", TransferError{"refused"}, "", "A1", kRefresh, {kExchangeFailed}},
        {"keyring refuses", answer(200, kNewPair), "access_token", "A1", kRefresh, {lost}},
        {"keyring locked, opened at the prompt",
         answer(200, kNewPair),
         "locked",
         "A2",
         "R2",
         {kSuccess}},
        {"keyring locked, prompt dismissed",
         answer(200, kNewPair),
         "locked, dismissed",
         "A1",
         kRefresh,
         {lost}},
        {"a refused refresh token takes the old one along",
         answer(200, kNewPair),
         "refresh_token",
         "A2",
         std::nullopt,
         {"[OAuth] 新的 refresh token 無法存入 Keychain，已移除舊的 refresh token", kSuccess}},
    };
    bool noticeSaid = false;
    for (const auto& c : cases) {
        oauth.logout();
        settle();
        store("A1", kRefresh);
        fakes.console.clear();
        fakes.desktop.notifications.clear();
        fakes.keychain.unlockPrompts = 0;
        announced = 0;

        fakes.http.enqueue(c.result);
        const auto session = startSignIn();
        const bool locked = c.refused.starts_with("locked");
        fakes.keychain.setLocked(locked);
        fakes.keychain.dismissPrompt = c.refused.ends_with("dismissed");
        fakes.keychain.beforeStore = [&](const platform::KeychainQuery& query) {
            return locked || c.refused.empty() || !query.account.ends_with(c.refused);
        };
        session->completion("zandorin-auth://callback?code=c", std::nullopt);
        settle();
        fakes.keychain.beforeStore = nullptr;
        fakes.keychain.setLocked(false);

        EXPECT_EQ(keychain.load("access_token"), c.access) << c.name;
        EXPECT_EQ(keychain.load("refresh_token"), c.refresh) << c.name;
        EXPECT_EQ(fakes.console.lines(), c.lines) << c.name;
        EXPECT_EQ(fakes.keychain.unlockPrompts, locked ? 1 : 0) << c.name;
        const bool success = c.lines.back() == kSuccess;
        EXPECT_EQ(announced, success ? 1 : 0) << c.name;
        EXPECT_EQ(fakes.mainQueue.liveTimers(OAuthManager::refreshInterval), success ? 1u : 0u)
            << c.name;
        // A sign-in that could not be kept is said once per run, in a notice of its own.
        const bool notice = c.lines[0] == lost && !std::exchange(noticeSaid, true);
        EXPECT_EQ(fakes.desktop.notificationIds(),
                  success  ? std::vector<std::string>{"login-success"}
                  : notice ? std::vector<std::string>{OAuthManager::keyringNotice}
                           : std::vector<std::string>{})
            << c.name;
    }
}

TEST_F(OAuthManagerTest, OnlyARefusingProviderEndsTheSignInAtARefresh) {
    struct Case {
        std::string name;
        bool refreshStored;
        std::optional<platform::HttpResult> result;  // nothing: no request expected
        std::optional<std::string> access;
        std::optional<std::string> refresh;  // nothing as well: signed out
        bool consoleLine;
        bool refreshWriteFails = false;
    };
    const std::vector<Case> cases = {
        {"no refresh token", false, std::nullopt, "A1", std::nullopt, false},
        {"new pair", true, answer(200, kNewPair), "A2", "R2", false},
        {"a refused refresh token takes the old one along", true, answer(200, kNewPair), "A2",
         std::nullopt, true, true},
        {"access only keeps the refresh token", true, answer(200, R"({"access_token":"A2"})"), "A2",
         kRefresh, false},
        {"refused", true, answer(400, R"({"error":"invalid_grant"})"), std::nullopt, std::nullopt,
         false},
        {"answered without a token", true, answer(200, "{}"), std::nullopt, std::nullopt, false},
        {"unauthorised client", true, answer(401, R"({"error":"invalid_client"})"), std::nullopt,
         std::nullopt, false},
        {"offline keeps the sign-in", true, TransferError{"no route"}, "A1", kRefresh, true},
        {"provider down keeps the sign-in", true, answer(503, ""), "A1", kRefresh, true},
        {"a 500 is not trusted even with a token", true, answer(500, R"({"access_token":"A2"})"),
         "A1", kRefresh, true},
    };
    for (const auto& c : cases) {
        store("A1", c.refreshStored ? std::optional(kRefresh) : std::nullopt);
        oauth.scheduleTokenRefresh();
        fakes.console.clear();
        announced = 0;
        const auto sent = fakes.http.requests().size();
        if (c.result) {
            fakes.http.enqueue(*c.result);
        }
        fakes.keychain.beforeStore = [&](const platform::KeychainQuery& query) {
            return !c.refreshWriteFails || !query.account.ends_with("refresh_token");
        };
        refresh();
        fakes.keychain.beforeStore = nullptr;

        const auto requests = fakes.http.requests();
        ASSERT_EQ(requests.size(), sent + (c.result ? 1 : 0)) << c.name;
        if (c.result) {
            EXPECT_EQ(requests.back().url, kTokenUrl);
            EXPECT_EQ(requests.back().body, kRefreshBody);
        }
        EXPECT_EQ(keychain.load("access_token"), c.access) << c.name;
        EXPECT_EQ(keychain.load("refresh_token"), c.refresh) << c.name;
        // A sign-out from the refresh's background thread still stops the refresh timer.
        const bool signedOut = !c.access;
        EXPECT_EQ(announced, signedOut ? 1 : 0) << c.name;
        EXPECT_EQ(fakes.mainQueue.liveTimers(OAuthManager::refreshInterval), signedOut ? 0u : 1u)
            << c.name;
        EXPECT_EQ(fakes.console.lines().size(), c.consoleLine ? 1u : 0u) << c.name;
        for (const auto& line : fakes.console.lines()) {
            EXPECT_TRUE(line.starts_with("[OAuth] ")) << line;
            EXPECT_EQ(line.find("R1"), std::string::npos) << line;
        }
    }
}

TEST_F(OAuthManagerTest, ConcurrentRefreshesShareOneRequest) {
    store("A1", kRefresh);
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;
    fakes.http.setFallback([&](const platform::HttpRequest&) -> platform::HttpResult {
        std::unique_lock lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait_for(lock, 10s, [&] { return open; });
        return answer(200, kNewPair);
    });
    std::thread first([this] { oauth.refreshAccessToken(); });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return entered; }));
    }
    std::thread second([this] { oauth.refreshAccessToken(); });
    for (int i = 0; i < 1000 && OAuthManagerProbe::refreshWaiters(oauth) == 0; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(OAuthManagerProbe::refreshWaiters(oauth), 1u);
    {
        std::lock_guard lock(mutex);
        open = true;
    }
    changed.notify_all();
    first.join();
    second.join();
    EXPECT_EQ(fakes.http.requests().size(), 1u);

    // Once over, the next refresh sends its own request with the rotated token.
    refresh();
    ASSERT_EQ(fakes.http.requests().size(), 2u);
    EXPECT_TRUE(fakes.http.requests()[1].body.ends_with("refresh_token=R2"));
}

TEST_F(OAuthManagerTest, TokensOfASignInThatASignOutEndedAreNotKept) {
    enum class SignOut { afterRefreshTokenRead, inFlight, accessWrite, refreshWrite };
    struct Case {
        std::string name;
        bool exchange;  // else a refresh
        SignOut when;
        std::string answer;
    };
    const std::vector<Case> cases = {
        {"refresh token read", false, SignOut::afterRefreshTokenRead, kNewPair},
        {"refresh answered", false, SignOut::inFlight, kNewPair},
        {"refresh refused", false, SignOut::inFlight, R"({"error":"invalid_grant"})"},
        {"refresh's access token written", false, SignOut::accessWrite, R"({"access_token":"A2"})"},
        {"refresh's refresh token written", false, SignOut::refreshWrite, kNewPair},
        {"exchange answered", true, SignOut::inFlight, kNewPair},
        {"exchange's refresh token written", true, SignOut::refreshWrite, kNewPair},
    };
    for (const auto& c : cases) {
        store("A1", kRefresh);
        fakes.desktop.notifications.clear();
        announced = 0;
        bool signedOut = false;
        auto signOutAt = [&](SignOut moment) {
            if (c.when == moment && !std::exchange(signedOut, true)) {
                oauth.logout();
            }
        };
        fakes.http.setFallback([&](const platform::HttpRequest&) {
            signOutAt(SignOut::inFlight);
            return answer(c.answer.find("error") == std::string::npos ? 200 : 400, c.answer);
        });
        fakes.keychain.afterRead = [&](const platform::KeychainQuery& query) {
            if (query.account.ends_with("refresh_token")) {
                signOutAt(SignOut::afterRefreshTokenRead);
            }
        };
        fakes.keychain.beforeStore = [&](const platform::KeychainQuery& query) {
            signOutAt(query.account.ends_with("refresh_token") ? SignOut::refreshWrite
                                                               : SignOut::accessWrite);
            return true;
        };
        if (c.exchange) {
            startSignIn()->completion("zandorin-auth://callback?code=c", std::nullopt);
            settle();
        } else {
            refresh();
        }
        fakes.keychain.afterRead = nullptr;
        fakes.keychain.beforeStore = nullptr;
        EXPECT_TRUE(signedOut) << c.name;
        EXPECT_EQ(keychain.load("access_token"), std::nullopt) << c.name;
        EXPECT_EQ(keychain.load("refresh_token"), std::nullopt) << c.name;
        EXPECT_EQ(announced, 1) << c.name;
        EXPECT_TRUE(fakes.desktop.notifications.empty()) << c.name;
    }
}

TEST_F(OAuthManagerTest, SignOutStopsTheRefreshAndWithdrawsWithTheTokensItDeletes) {
    store("A1", kRefresh);
    keychain.save("0a0b", "push_token");
    oauth.scheduleTokenRefresh();
    fakes.http.enqueue(TransferError{"offline"});

    oauth.logout();
    EXPECT_EQ(fakes.mainQueue.liveTimers(), 0u);
    EXPECT_FALSE(keychain.load("access_token"));
    EXPECT_FALSE(keychain.load("refresh_token"));
    EXPECT_EQ(announced, 0);
    settle();
    EXPECT_EQ(announced, 1);
    ASSERT_EQ(fakes.http.requests().size(), 1u);
    EXPECT_EQ(fakes.http.requests()[0].method, "DELETE");
    EXPECT_EQ(fakes.http.requests()[0].headers.back().second, "Bearer A1");
    // The device token goes even though the withdrawal failed; the sign-out itself never does.
    EXPECT_FALSE(keychain.load("push_token"));
    EXPECT_TRUE(fakes.console.lines().empty());
}

TEST_F(OAuthManagerTest, ASignOutIntoALockedKeyringAsksToUnlockInTheBackgroundOnly) {
    enum class Prompt { accepted, dismissed, acceptedAfterANewSignIn };
    for (const auto prompt :
         {Prompt::accepted, Prompt::dismissed, Prompt::acceptedAfterANewSignIn}) {
        fakes.keychain.setLocked(false);
        store("A1", kRefresh);
        fakes.keychain.setLocked(true);
        fakes.keychain.dismissPrompt = prompt == Prompt::dismissed;
        fakes.keychain.unlockPrompts = 0;
        if (prompt == Prompt::acceptedAfterANewSignIn) {
            // The user signs in again while the prompt is open; that sign-in keeps its tokens.
            fakes.keychain.whilePrompting = [this] {
                fakes.http.enqueue(answer(200, kNewPair));
                startSignIn()->completion("zandorin-auth://callback?code=c", std::nullopt);
                fakes.executor.runNext();
            };
        }

        oauth.logout();
        EXPECT_EQ(fakes.keychain.unlockPrompts, 0) << "a prompt on the main thread";
        settle();
        EXPECT_GE(fakes.keychain.unlockPrompts, 1);
        fakes.keychain.setLocked(false);
        // Unlocked, the tokens go; left locked, they stay where nobody can read them.
        const auto kept = prompt == Prompt::dismissed                 ? std::optional("A1")
                          : prompt == Prompt::acceptedAfterANewSignIn ? std::optional("A2")
                                                                      : std::nullopt;
        EXPECT_EQ(keychain.load("access_token"), kept) << static_cast<int>(prompt);
    }
}

TEST_F(OAuthManagerTest, RescheduledRefreshStartsItsPeriodAgain) {
    store("A1", kRefresh);
    fakes.http.setFallback(
        [](const platform::HttpRequest&) { return answer(200, R"({"access_token":"A2"})"); });
    oauth.scheduleTokenRefresh();
    fakes.mainQueue.advance(100s);
    oauth.scheduleTokenRefresh();
    EXPECT_EQ(fakes.mainQueue.liveTimers(), 1u);
    fakes.mainQueue.advance(239s);
    EXPECT_EQ(fakes.executor.pending(), 0u);
    fakes.mainQueue.advance(1s);
    EXPECT_EQ(fakes.executor.pending(), 1u);
    settle();
    EXPECT_EQ(keychain.load("access_token"), "A2");
    EXPECT_EQ(announced, 0);  // a refresh announces nothing
    fakes.mainQueue.advance(240s);
    EXPECT_EQ(fakes.executor.pending(), 1u);
}

}  // namespace
}  // namespace zandorin
