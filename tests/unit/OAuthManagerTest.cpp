#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "auth/OAuthManager.h"
#include "common/UrlCoding.h"
#include "support/TestPlatform.h"

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

constexpr const char* kIssuer = "https://id.example.com/realms/zandorin";
constexpr const char* kTokenUrl =
    "https://id.example.com/realms/zandorin/protocol/openid-connect/token";

// RFC 7636 appendix B.
const std::string kRfcOctets = {116, 24,     '\xdf', '\xb4', '\x97', '\x99', '\xe0', 37,
                                79,  '\xfa', 96,     125,    '\xd8', '\xad', '\xbb', '\xba',
                                22,  '\xd4', 37,     77,     105,    '\xd6', '\xbf', '\xf0',
                                91,  88,     5,      88,     83,     '\x84', '\x8d', 121};
constexpr const char* kRfcVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
constexpr const char* kRfcChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";

HttpResponse answer(long status, std::string body) {
    return HttpResponse{status, {}, std::move(body)};
}

class OAuthManagerTest : public ::testing::Test {
protected:
    test::TestPlatform fakes;
    // Before the push manager exists: it reads the service URL once, at creation.
    const bool configured_ = [this] {
        fakes.bundle.values = {{"KEYCLOAK_ISSUER", kIssuer},
                               {"MCP_SERVER_URL", "https://svc.example.com"}};
        fakes.notificationCenter.addObserver(OAuthManager::authStateChanged,
                                             [this] { fakes.events.add("authStateChanged"); });
        return true;
    }();
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    PushManager push{fakes.platform, keychain};
    std::unique_ptr<OAuthManager> oauth =
        std::make_unique<OAuthManager>(fakes.platform, keychain, push);

    // Background tasks run on a thread of their own, as they do in the application.
    void runTasks() {
        std::thread worker([this] { fakes.executor.runAll(); });
        worker.join();
    }

    std::shared_ptr<test::FakeWebAuthSessionFactory::Session> startSignIn() {
        const auto before = fakes.webAuth.sessions.size();
        oauth->login();
        if (fakes.webAuth.sessions.size() == before) {
            return nullptr;
        }
        return fakes.webAuth.sessions.back();
    }

    void redirect(const std::shared_ptr<test::FakeWebAuthSessionFactory::Session>& session,
                  const std::string& url) {
        session->completion(url, std::nullopt);
    }

    // A full sign-in whose exchange is answered with `tokenAnswer`.
    void signIn(platform::HttpResult tokenAnswer) {
        fakes.http.enqueue(std::move(tokenAnswer));
        redirect(startSignIn(), "zandorin-auth://callback?code=c0de&iss=x");
        runTasks();
        fakes.mainQueue.runPending();
    }

    std::vector<std::string> requestBodies() const {
        std::vector<std::string> bodies;
        for (const auto& request : fakes.http.requests()) {
            bodies.push_back(request.body);
        }
        return bodies;
    }

    void storeTokens(std::optional<std::string> access, std::optional<std::string> refresh) {
        if (access) {
            keychain.save(*access, "access_token");
        }
        if (refresh) {
            keychain.save(*refresh, "refresh_token");
        }
    }
};

TEST_F(OAuthManagerTest, PkceMatchesRfc7636AndTheAuthorizationUrlIsExact) {
    fakes.crypto.nextBytes = kRfcOctets;
    const auto session = startSignIn();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->url, std::string(kIssuer) +
                                "/protocol/openid-connect/auth?client_id=zandorin-mcp"
                                "&redirect_uri=zandorin-auth://callback&response_type=code"
                                "&scope=openid%20offline_access&code_challenge=" +
                                kRfcChallenge + "&code_challenge_method=S256");
    EXPECT_EQ(session->callbackScheme, "zandorin-auth");
    EXPECT_FALSE(session->ephemeral);
    EXPECT_TRUE(session->started);

    fakes.http.enqueue(answer(200, R"({"access_token":"A"})"));
    redirect(session, "zandorin-auth://callback?code=c0de&iss=x");
    runTasks();
    const auto requests = fakes.http.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].url, kTokenUrl);
    EXPECT_EQ(requests[0].headers,
              (platform::HeaderFields{{"Content-Type", "application/x-www-form-urlencoded"}}));
    EXPECT_EQ(requests[0].timeout, 60s);
    EXPECT_EQ(requests[0].body,
              std::string("grant_type=authorization_code&client_id=zandorin-mcp&code=c0de"
                          "&redirect_uri=zandorin-auth://callback&code_verifier=") +
                  kRfcVerifier);
}

TEST_F(OAuthManagerTest, IssuerIsUsedAsWrittenAndABadOneStopsTheSignIn) {
    struct Case {
        std::string issuer;
        std::optional<std::string> authPrefix;  // nothing: no sign-in starts
    };
    const std::vector<Case> cases = {
        {"https://id.example.com/realms/r/",
         "https://id.example.com/realms/r//protocol/openid-connect/auth?client_id="},
        {"http://127.0.0.1:8080/realms/r",
         "http://127.0.0.1:8080/realms/r/protocol/openid-connect/auth?client_id="},
        // The issuer's own query swallows the path and is then replaced, as URL components do.
        {"https://id.example.com/realms/r?kc=1", "https://id.example.com/realms/r?client_id="},
        {"not a url", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        fakes.bundle.values["KEYCLOAK_ISSUER"] = c.issuer;
        const auto linesBefore = fakes.console.lines().size();
        const auto session = startSignIn();
        if (!c.authPrefix) {
            EXPECT_FALSE(session) << c.issuer;
            ASSERT_EQ(fakes.console.lines().size(), linesBefore + 1) << c.issuer;
            EXPECT_TRUE(fakes.console.lines().back().starts_with("[OAuth] ")) << c.issuer;
            continue;
        }
        ASSERT_TRUE(session) << c.issuer;
        EXPECT_TRUE(session->url.starts_with(*c.authPrefix)) << session->url;
    }
}

TEST_F(OAuthManagerTest, AFailingRandomSourceStartsNoSignIn) {
    fakes.crypto.failing = true;
    EXPECT_FALSE(startSignIn());
    ASSERT_EQ(fakes.console.lines().size(), 1u);
    EXPECT_TRUE(fakes.console.lines()[0].starts_with("[OAuth] "));
}

TEST_F(OAuthManagerTest, CallbackParsing) {
    struct Case {
        std::string url;
        std::optional<std::string> codeInBody;  // nothing: no exchange
    };
    const std::vector<Case> cases = {
        {"zandorin-auth://callback?code=abc&iss=http%3A%2F%2F127.0.0.1", "code=abc&"},
        {"zandorin-auth://callback?code=first&code=second", "code=first&"},
        {"zandorin-auth://callback?state=s&code=a.b-c_d~e", "code=a.b-c_d~e&"},
        {"other://host/path?code=abc", "code=abc&"},  // only the code matters
        // Any program can open such a URL: its code must not add form fields.
        {"zandorin-auth://callback?code=x%26grant_type%3Dpassword%2B",
         "code=x%26grant_type%3Dpassword%2B&"},
        {"zandorin-auth://callback?code=a+b%20c", "code=a%2Bb%20c&"},
        {"zandorin-auth://callback?code=&code=second", std::nullopt},
        {"zandorin-auth://callback?code&code=second", std::nullopt},
        {"zandorin-auth://callback?error=access_denied&iss=x", std::nullopt},
        {"zandorin-auth://callback?", std::nullopt},
        {"zandorin-auth://callback", std::nullopt},
        {"zandorin-auth://callback?code=%zz", std::nullopt},
        {"not a url", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto session = startSignIn();
        ASSERT_TRUE(session);
        const auto before = fakes.http.requests().size();
        fakes.http.enqueue(answer(400, R"({"error":"invalid_grant"})"));
        redirect(session, c.url);
        runTasks();
        const auto requests = fakes.http.requests();
        if (!c.codeInBody) {
            EXPECT_EQ(requests.size(), before) << c.url;
            continue;
        }
        ASSERT_EQ(requests.size(), before + 1) << c.url;
        EXPECT_NE(requests.back().body.find("&" + *c.codeInBody), std::string::npos)
            << requests.back().body;
    }
    fakes.http.requests();
    // Nothing in those stops was logged; only the refused exchanges were.
    for (const auto& line : fakes.console.lines()) {
        EXPECT_EQ(line, "[OAuth] token exchange 失敗");
    }
}

TEST(QueryItems, ReadBackAsWritten) {
    const std::vector<std::vector<url::QueryItem>> cases = {
        {{"", std::nullopt}, {"code", "c"}},
        {{"a b&c=d", "x=y+z&%"}, {"k", std::nullopt}, {"", ""}},
        {{"雪", "é"}},
    };
    for (const auto& items : cases) {
        const auto query = url::buildQuery(items);
        EXPECT_EQ(url::parseQuery(query), items) << query;
    }
}

TEST_F(OAuthManagerTest, ACallbackWithoutAVerifierIsIgnored) {
    oauth->handleCallback("zandorin-auth://callback?code=abc");
    runTasks();
    EXPECT_TRUE(fakes.http.requests().empty());
}

TEST_F(OAuthManagerTest, SessionErrorsAreReported) {
    const auto session = startSignIn();
    session->completion(std::nullopt, platform::WebAuthError{"the browser could not be opened"});
    session->completion(std::nullopt, std::nullopt);
    EXPECT_EQ(
        fakes.console.lines(),
        std::vector<std::string>{"[OAuth] auth session error: the browser could not be opened"});
    EXPECT_EQ(fakes.executor.pending(), 0u);
}

TEST_F(OAuthManagerTest, ExchangeOutcomes) {
    struct Case {
        std::string name;
        platform::HttpResult result;
        std::string refusedWrite;  // the key whose new value the keyring refuses
        std::optional<std::string> access;
        std::optional<std::string> refresh;
        std::vector<std::string> lines;
        bool announced;
    };
    const std::string success = "[OAuth] 登入成功，token 已存入 Keychain";
    const std::string failed = "[OAuth] token exchange 失敗";
    const std::vector<Case> cases = {
        {"both tokens",
         answer(200, R"({"access_token":"A2","refresh_token":"R2","expires_in":300})"),
         "",
         "A2",
         "R2",
         {success},
         true},
        {"no refresh token removes the old one",
         answer(200, R"({"access_token":"A2"})"),
         "",
         "A2",
         std::nullopt,
         {success},
         true},
        {"status is not examined",
         answer(201, R"({"access_token":"A2","refresh_token":7})"),
         "",
         "A2",
         std::nullopt,
         {success},
         true},
        {"provider refuses",
         answer(400, R"({"error":"invalid_grant"})"),
         "",
         "A1",
         "R1",
         {failed},
         false},
        {"no access token",
         answer(200, R"({"token_type":"Bearer"})"),
         "",
         "A1",
         "R1",
         {failed},
         false},
        {"access token of another type",
         answer(200, R"({"access_token":5})"),
         "",
         "A1",
         "R1",
         {failed},
         false},
        {"not JSON", answer(200, "<html>"), "", "A1", "R1", {failed}, false},
        {"JSON array", answer(200, R"([{"access_token":"A2"}])"), "", "A1", "R1", {failed}, false},
        {"nested too deep",
         answer(200,
                R"({"access_token":"A2","x":)" + std::string(64, '[') + std::string(64, ']') + "}"),
         "",
         "A1",
         "R1",
         {failed},
         false},
        {"no answer", TransferError{"connection refused"}, "", "A1", "R1", {failed}, false},
        {"keychain refuses the new token",
         answer(200, R"({"access_token":"A2"})"),
         "access_token",
         "A1",
         "R1",
         {"[OAuth] 登入失敗：token 無法存入 Keychain"},
         false},
        {"a refused refresh token takes the old one with it",
         answer(200, R"({"access_token":"A2","refresh_token":"R2"})"),
         "refresh_token",
         "A2",
         std::nullopt,
         {"[OAuth] 新的 refresh token 無法存入 Keychain，已移除舊的 refresh token", success},
         true},
    };
    bool noticeSaid = false;
    for (const auto& c : cases) {
        fakes.keychain.setLocked(false);
        fakes.keychain.dismissPrompt = c.refusedWrite.ends_with("dismissed");
        storeTokens("A1", "R1");
        fakes.console.clear();
        fakes.userNotifications.added.clear();
        fakes.events.clear();

        fakes.http.enqueue(c.result);
        const auto session = startSignIn();
        const bool locked = c.refusedWrite.starts_with("keyring locked");
        fakes.keychain.setLocked(locked);
        fakes.keychain.beforeStore = [&](const platform::KeychainQuery& query) {
            return locked || c.refusedWrite.empty() || !query.account.ends_with(c.refusedWrite);
        };
        redirect(session, "zandorin-auth://callback?code=c");
        runTasks();
        fakes.mainQueue.runPending();
        fakes.keychain.beforeStore = nullptr;

        EXPECT_EQ(keychain.load("access_token"), c.access) << c.name;
        EXPECT_EQ(keychain.load("refresh_token"), c.refresh) << c.name;
        EXPECT_EQ(fakes.console.lines(), c.lines) << c.name;
        EXPECT_EQ(fakes.events.matching({"authStateChanged"}).size(), c.announced ? 1u : 0u)
            << c.name;
        // A sign-in that could not be kept is said, once per run, in a notice of its own.
        std::vector<std::string> notices;
        for (const auto& added : fakes.userNotifications.added) {
            notices.push_back(added.identifier);
        }
        const bool lost = c.lines.size() == 1 && c.lines[0].starts_with("[OAuth] 登入失敗");
        EXPECT_EQ(notices, c.announced ? std::vector<std::string>{"login-success"}
                           : lost && !noticeSaid
                               ? std::vector<std::string>{OAuthManager::keyringNotice}
                               : std::vector<std::string>{})
            << c.name;
        noticeSaid = noticeSaid || lost;
        EXPECT_EQ(!fakes.events.matching({"mainQueue.scheduleRepeating 240s"}).empty(), c.announced)
            << c.name;
    }
}

TEST_F(OAuthManagerTest, ASignInStoresThenReportsThenAnnouncesOnTheMainQueue) {
    keychain.save("0a0b", "push_token");
    fakes.events.clear();
    fakes.http.enqueue(answer(200, R"({"access_token":"A","refresh_token":"R"})"));
    fakes.http.enqueue(answer(200, "{}"));
    redirect(startSignIn(), "zandorin-auth://callback?code=c");
    runTasks();

    // The task is over: the console line is written, the announcements wait for the main queue.
    EXPECT_EQ(fakes.console.lines(),
              (std::vector<std::string>{"[Push] device token 已同步至 server",
                                        "[OAuth] 登入成功，token 已存入 Keychain"}));
    EXPECT_TRUE(fakes.userNotifications.added.empty());
    fakes.mainQueue.runPending();

    EXPECT_EQ(fakes.events.matching({"http.", "keychain.store", "keychain.remove", "mainQueue.",
                                     "authStateChanged", "userNotifications.add"}),
              (std::vector<std::string>{
                  std::string("http.send POST ") + kTokenUrl,
                  "keychain.store com.zandorin.auth.access_token",
                  "keychain.store com.zandorin.auth.refresh_token",
                  "http.send POST https://svc.example.com/push-token",
                  "mainQueue.scheduleRepeating 240s",
                  "authStateChanged",
                  "userNotifications.add login-success",
              }));
    const auto& added = fakes.userNotifications.added.at(0);
    EXPECT_EQ(added.content.title, "Mirrowen");
    EXPECT_EQ(added.content.body, "登入成功！MCP 已準備就緒。");
    EXPECT_EQ(added.content.userInfo, nlohmann::json::object());
    const auto report = fakes.http.requests().at(1);
    EXPECT_EQ(report.headers, (platform::HeaderFields{{"Content-Type", "application/json"},
                                                      {"Authorization", "Bearer A"}}));
    EXPECT_EQ(nlohmann::json::parse(report.body),
              (nlohmann::json{{"token", "0a0b"}, {"platform", "macos"}}));
}

TEST_F(OAuthManagerTest, RefreshOutcomes) {
    struct Case {
        std::string name;
        bool refreshStored;
        std::optional<platform::HttpResult> result;  // nothing: no request expected
        std::optional<std::string> access;
        std::optional<std::string> refresh;
        bool signedOut;
        bool consoleLine;
        bool refreshWriteRefused = false;
    };
    const std::vector<Case> cases = {
        {"no refresh token", false, std::nullopt, "A1", std::nullopt, false, false},
        {"a refused refresh token takes the old one with it", true,
         answer(200, R"({"access_token":"A2","refresh_token":"R2"})"), "A2", std::nullopt, false,
         true, true},
        {"new pair", true, answer(200, R"({"access_token":"A2","refresh_token":"R2"})"), "A2", "R2",
         false, false},
        {"access only keeps the refresh token", true, answer(200, R"({"access_token":"A2"})"), "A2",
         "R1", false, false},
        {"refused", true, answer(400, R"({"error":"invalid_grant"})"), std::nullopt, std::nullopt,
         true, false},
        {"answered without a token", true, answer(200, "{}"), std::nullopt, std::nullopt, true,
         false},
        {"answered with HTML", true, answer(200, "<html/>"), std::nullopt, std::nullopt, true,
         false},
        {"unauthorised client", true, answer(401, R"({"error":"invalid_client"})"), std::nullopt,
         std::nullopt, true, false},
        {"offline keeps the sign-in", true, TransferError{"could not resolve host"}, "A1", "R1",
         false, true},
        {"provider down keeps the sign-in", true, answer(503, "Service Unavailable"), "A1", "R1",
         false, true},
        {"5xx is not trusted even with a token", true, answer(500, R"({"access_token":"A2"})"),
         "A1", "R1", false, true},
    };
    for (const auto& c : cases) {
        storeTokens("A1", c.refreshStored ? std::optional<std::string>("R1") : std::nullopt);
        if (!c.refreshStored) {
            keychain.remove("refresh_token");
        }
        fakes.console.clear();
        fakes.events.clear();
        const auto requestsBefore = fakes.http.requests().size();
        if (c.result) {
            fakes.http.enqueue(*c.result);
        }
        fakes.keychain.beforeStore = [&](const platform::KeychainQuery& query) {
            return !c.refreshWriteRefused || !query.account.ends_with("refresh_token");
        };

        std::thread task([this] { oauth->refreshAccessToken(); });
        task.join();
        fakes.keychain.beforeStore = nullptr;
        runTasks();
        fakes.mainQueue.runPending();

        const auto requests = fakes.http.requests();
        EXPECT_EQ(requests.size(), requestsBefore + (c.result ? 1 : 0)) << c.name;
        if (c.result) {
            EXPECT_EQ(requests.back().body,
                      "grant_type=refresh_token&client_id=zandorin-mcp&refresh_token=R1");
            EXPECT_EQ(requests.back().url, kTokenUrl);
        }
        EXPECT_EQ(keychain.load("access_token"), c.access) << c.name;
        EXPECT_EQ(keychain.load("refresh_token"), c.refresh) << c.name;
        EXPECT_EQ(fakes.events.matching({"authStateChanged"}).size(), c.signedOut ? 1u : 0u)
            << c.name;
        EXPECT_EQ(fakes.console.lines().size(), c.consoleLine ? 1u : 0u) << c.name;
        for (const auto& line : fakes.console.lines()) {
            EXPECT_TRUE(line.starts_with("[OAuth] ")) << line;
            EXPECT_EQ(line.find("R1"), std::string::npos) << line;
        }
    }
}

TEST_F(OAuthManagerTest, RefreshTokensGoOutVerbatimWhenSafeAndEncodedWhenNot) {
    for (const auto& [stored, sent] : std::vector<std::pair<std::string, std::string>>{
             {"eyJ.a-b_c~d.E", "eyJ.a-b_c~d.E"}, {"r&grant_type=x", "r%26grant_type%3Dx"}}) {
        storeTokens("A1", stored);
        fakes.http.enqueue(answer(200, R"({"access_token":"A2"})"));
        std::thread([this] { oauth->refreshAccessToken(); }).join();
        EXPECT_EQ(fakes.http.requests().back().body,
                  "grant_type=refresh_token&client_id=zandorin-mcp&refresh_token=" + sent);
    }
}

// A test-controlled gate that holds a request in flight.
class Gate {
public:
    void enter() {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, 10s, [this] { return open_; });
    }
    bool waitUntilEntered() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [this] { return entered_; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool open_ = false;
};

TEST_F(OAuthManagerTest, ConcurrentRefreshesShareOneRequest) {
    storeTokens("A1", "R1");
    Gate gate;
    fakes.http.setFallback([&](const platform::HttpRequest&) -> platform::HttpResult {
        gate.enter();
        return answer(200, R"({"access_token":"A2","refresh_token":"R2"})");
    });
    std::thread first([this] { oauth->refreshAccessToken(); });
    ASSERT_TRUE(gate.waitUntilEntered());
    std::thread second([this] { oauth->refreshAccessToken(); });
    for (int i = 0; i < 1000 && OAuthManagerProbe::refreshWaiters(*oauth) == 0; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(OAuthManagerProbe::refreshWaiters(*oauth), 1u);
    gate.open();
    first.join();
    second.join();
    EXPECT_EQ(fakes.http.requests().size(), 1u);
    EXPECT_EQ(keychain.load("refresh_token"), "R2");

    // Once over, the next refresh sends its own request with the rotated token.
    std::thread([this] { oauth->refreshAccessToken(); }).join();
    EXPECT_EQ(fakes.http.requests().size(), 2u);
    EXPECT_EQ(fakes.http.requests().back().body,
              "grant_type=refresh_token&client_id=zandorin-mcp&refresh_token=R2");
}

TEST_F(OAuthManagerTest, TokensOfASignInThatASignOutEndedAreNotKept) {
    const std::string tokens = R"({"access_token":"A2","refresh_token":"R2"})";
    enum class SignOut { afterRefreshTokenRead, inFlight, betweenTheWrites };
    struct Case {
        std::string name;
        bool exchange;  // else a refresh
        SignOut when;
        platform::HttpResult result;
    };
    const std::vector<Case> cases = {
        {"refresh token read", false, SignOut::afterRefreshTokenRead, answer(200, tokens)},
        {"refresh answered with tokens", false, SignOut::inFlight, answer(200, tokens)},
        {"refresh refused", false, SignOut::inFlight, answer(400, R"({"error":"invalid_grant"})")},
        {"refresh stored", false, SignOut::betweenTheWrites, answer(200, tokens)},
        {"exchange answered", true, SignOut::inFlight, answer(200, tokens)},
        {"exchange stored", true, SignOut::betweenTheWrites, answer(200, tokens)},
    };
    for (const auto& c : cases) {
        storeTokens("A1", "R1");
        fakes.events.clear();
        fakes.userNotifications.added.clear();
        bool signedOut = false;
        auto signOutAt = [&](SignOut moment) {
            if (c.when == moment && !std::exchange(signedOut, true)) {
                oauth->logout();
            }
        };
        fakes.http.setFallback([&](const platform::HttpRequest&) {
            signOutAt(SignOut::inFlight);
            return c.result;
        });
        fakes.keychain.afterRead = [&](const platform::KeychainQuery& query) {
            if (query.account.ends_with("refresh_token")) {
                signOutAt(SignOut::afterRefreshTokenRead);
            }
        };
        fakes.keychain.beforeStore = [&](const platform::KeychainQuery& query) {
            if (query.account.ends_with("refresh_token")) {
                signOutAt(SignOut::betweenTheWrites);
            }
            return true;
        };
        if (c.exchange) {
            redirect(startSignIn(), "zandorin-auth://callback?code=c");
        } else {
            std::thread([this] { oauth->refreshAccessToken(); }).join();
        }
        runTasks();
        fakes.mainQueue.runPending();
        fakes.keychain.afterRead = nullptr;
        fakes.keychain.beforeStore = nullptr;
        EXPECT_TRUE(signedOut) << c.name;
        EXPECT_EQ(keychain.load("access_token"), std::nullopt) << c.name;
        EXPECT_EQ(keychain.load("refresh_token"), std::nullopt) << c.name;
        EXPECT_EQ(fakes.events.matching({"authStateChanged"}).size(), 1u) << c.name;
        EXPECT_TRUE(fakes.userNotifications.added.empty()) << c.name;
    }
}

TEST_F(OAuthManagerTest, LogoutReadsTheWithdrawalFirstThenDeletesThenAnnounces) {
    storeTokens("A1", "R1");
    keychain.save("0a0b", "push_token");
    oauth->scheduleTokenRefresh();
    fakes.events.clear();
    fakes.http.enqueue(TransferError{"offline"});

    oauth->logout();
    EXPECT_EQ(fakes.mainQueue.liveTimers(), 0u);
    EXPECT_EQ(fakes.events.matching({"keychain.", "authStateChanged"}),
              (std::vector<std::string>{"keychain.copyMatching com.zandorin.auth.push_token",
                                        "keychain.copyMatching com.zandorin.auth.access_token",
                                        "keychain.remove com.zandorin.auth.access_token",
                                        "keychain.remove com.zandorin.auth.refresh_token"}));
    fakes.mainQueue.runPending();
    EXPECT_EQ(fakes.events.matching({"authStateChanged"}).size(), 1u);

    runTasks();
    const auto requests = fakes.http.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "DELETE");
    EXPECT_EQ(requests[0].url, "https://svc.example.com/push-token");
    EXPECT_EQ(requests[0].headers, (platform::HeaderFields{{"Content-Type", "application/json"},
                                                           {"Authorization", "Bearer A1"}}));
    EXPECT_EQ(nlohmann::json::parse(requests[0].body), (nlohmann::json{{"token", "0a0b"}}));
    // The device token goes even though the withdrawal failed; sign-out itself never did.
    EXPECT_EQ(keychain.load("push_token"), std::nullopt);
    EXPECT_TRUE(fakes.console.lines().empty());
}

TEST_F(OAuthManagerTest, ASignOutIntoALockedKeyringAsksToUnlockInTheBackgroundOnly) {
    for (const bool dismissed : {false, true}) {
        fakes.keychain.setLocked(false);
        storeTokens("A1", "R1");
        fakes.keychain.setLocked(true);
        fakes.keychain.dismissPrompt = dismissed;
        fakes.keychain.unlockPrompts = 0;

        oauth->logout();
        EXPECT_EQ(fakes.keychain.unlockPrompts, 0) << "a prompt on the main thread";
        runTasks();
        fakes.mainQueue.runPending();
        EXPECT_EQ(fakes.keychain.unlockPrompts, 1);
        fakes.keychain.setLocked(false);
        // Unlocked, the tokens go; left locked, they stay where nobody can read them.
        EXPECT_EQ(keychain.load("access_token"),
                  dismissed ? std::optional<std::string>("A1") : std::nullopt);
        EXPECT_EQ(keychain.load("refresh_token"),
                  dismissed ? std::optional<std::string>("R1") : std::nullopt);
    }
}

TEST_F(OAuthManagerTest, RescheduledRefreshStartsItsPeriodAgain) {
    storeTokens("A1", "R1");
    fakes.http.setFallback(
        [](const platform::HttpRequest&) { return answer(200, R"({"access_token":"A2"})"); });
    oauth->scheduleTokenRefresh();
    fakes.mainQueue.advance(100s);
    oauth->scheduleTokenRefresh();
    EXPECT_EQ(fakes.mainQueue.liveTimers(), 1u);
    fakes.mainQueue.advance(239s);
    EXPECT_EQ(fakes.executor.pending(), 0u);
    fakes.mainQueue.advance(1s);
    EXPECT_EQ(fakes.executor.pending(), 1u);
    runTasks();
    EXPECT_EQ(keychain.load("access_token"), "A2");
    EXPECT_TRUE(
        fakes.events.matching({"authStateChanged"}).empty());  // a refresh announces nothing
}

}  // namespace
}  // namespace zandorin
