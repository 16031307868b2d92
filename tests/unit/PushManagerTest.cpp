#include <gtest/gtest.h>

#include <thread>

#include "auth/OAuthManager.h"
#include "push/PushManager.h"
#include "push/PushMessage.h"
#include "support/TestPlatform.h"

namespace zandorin {
namespace {

using platform::HttpResponse;
using platform::TransferError;

HttpResponse answer(long status, std::string body = "{}") {
    return HttpResponse{status, {}, std::move(body)};
}

class PushManagerTest : public ::testing::Test {
protected:
    test::TestPlatform fakes;
    // Before the push manager exists: it reads the service URL once, at creation.
    const bool configured_ = [this] {
        fakes.bundle.values = {{"KEYCLOAK_ISSUER", "https://id.example.com/realms/zandorin"},
                               {"MCP_SERVER_URL", "https://svc.example.com"}};
        return true;
    }();
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    PushManager push{fakes.platform, keychain};
    OAuthManager oauth{fakes.platform, keychain, push};

    // Background tasks run on a thread of their own, as they do in the application.
    void runTasks() {
        std::thread worker([this] { fakes.executor.runAll(); });
        worker.join();
    }

    std::vector<platform::HttpRequest> pushRequests() const {
        std::vector<platform::HttpRequest> found;
        for (const auto& request : fakes.http.requests()) {
            if (request.url.ends_with("/push-token")) {
                found.push_back(request);
            }
        }
        return found;
    }

    // A complete sign-in through the browser, its token answer and, when there is a device
    // token to report, the report's answer.
    void signIn(const std::string& accessToken) {
        fakes.http.enqueue(
            answer(200, R"({"access_token":")" + accessToken + R"(","refresh_token":"R"})"));
        fakes.http.enqueue(answer(200));
        oauth.login();
        ASSERT_FALSE(fakes.webAuth.sessions.empty());
        fakes.webAuth.sessions.back()->completion("zandorin-auth://callback?code=c", std::nullopt);
        runTasks();
        fakes.mainQueue.runPending();
    }

    void grantPermission(bool granted) {
        push.requestPermission();
        ASSERT_TRUE(fakes.userNotifications.pendingAuthorization);
        fakes.userNotifications.pendingAuthorization(granted, std::nullopt);
        fakes.mainQueue.runPending();
    }
};

TEST_F(PushManagerTest, DeviceTokenIsStoredAndReportedAsLowerCaseHexPerByte) {
    struct Case {
        std::string bytes;
        std::string text;
    };
    const std::vector<Case> cases = {
        {std::string(1, '\0'), "00"},
        {"\x0a\x0f\x01", "0a0f01"},
        {"\xab\xcd\xef", "abcdef"},
        {"\x10\x9f\xf0\xff", "109ff0ff"},
        {"http://127.0.0.1:1/p", "687474703a2f2f3132372e302e302e313a312f70"},
    };
    keychain.save("A1", "access_token");
    for (const auto& c : cases) {
        fakes.http.enqueue(answer(200));
        push.didRegisterForRemoteNotifications(c.bytes);
        EXPECT_EQ(keychain.load("push_token"), c.text);
        runTasks();
        const auto sent = pushRequests();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(nlohmann::json::parse(sent.back().body),
                  (nlohmann::json{{"token", c.text}, {"platform", "macos"}}));
    }
}

TEST_F(PushManagerTest, ReportIsOnePostWithHeadersInOrderAndItsLineFollowsTheStatus) {
    struct Case {
        std::string name;
        platform::HttpResult result;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"accepted", answer(200), "[Push] device token 已同步至 server"},
        {"accepted without body", answer(204, ""), "[Push] device token 已同步至 server"},
        {"server error", answer(500), "[Push] device token 同步失敗: HTTP 500"},
        {"refused bearer", answer(401), "[Push] device token 同步失敗: HTTP 401"},
        {"redirect is not acceptance", answer(302), "[Push] device token 同步失敗: HTTP 302"},
        {"transfer error", TransferError{"timed out"}, "[Push] device token 同步失敗: timed out"},
    };
    keychain.save("A1", "access_token");
    keychain.save("0a0b", "push_token");
    for (const auto& c : cases) {
        fakes.console.clear();
        fakes.http.enqueue(c.result);
        push.registerTokenWithServer();
        EXPECT_EQ(fakes.console.lines(), std::vector<std::string>{c.line}) << c.name;
        // The device token stays for the next report whatever the answer.
        EXPECT_EQ(keychain.load("push_token"), "0a0b") << c.name;
    }
    const auto sent = pushRequests();
    ASSERT_EQ(sent.size(), cases.size());
    const auto& request = sent.front();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, "https://svc.example.com/push-token");
    EXPECT_EQ(request.headers, (platform::HeaderFields{{"Content-Type", "application/json"},
                                                       {"Authorization", "Bearer A1"}}));
    EXPECT_EQ(request.timeout, std::chrono::seconds(60));
}

TEST_F(PushManagerTest, EarlyReturnsSendNothingSayNothingAndKeepTheDeviceToken) {
    struct Case {
        std::string name;
        std::optional<std::string> serverUrl;
        bool deviceToken;
        bool accessToken;
        std::string expectedUrl;  // empty: nothing is sent
    };
    const std::vector<Case> cases = {
        {"no device token", "https://svc.example.com", false, true, ""},
        {"nobody signed in", "https://svc.example.com", true, false, ""},
        {"base that forms no URL", "not a url", true, true, ""},
        {"base ending in a slash keeps both", "https://svc.example.com/", true, true,
         "https://svc.example.com//push-token"},
        {"no configured base", std::nullopt, true, true, "https://mcp.zandorin.com/push-token"},
    };
    for (const auto& c : cases) {
        test::TestPlatform local;
        local.bundle.values.clear();
        if (c.serverUrl) {
            local.bundle.values["MCP_SERVER_URL"] = *c.serverUrl;
        }
        KeychainHelper localKeychain{local.keychain, "com.zandorin.auth"};
        PushManager localPush{local.platform, localKeychain};
        if (c.deviceToken) {
            localKeychain.save("0a0b", "push_token");
        }
        if (c.accessToken) {
            localKeychain.save("A1", "access_token");
        }
        local.http.setFallback([](const platform::HttpRequest&) { return answer(503); });
        localPush.registerTokenWithServer();
        localPush.unregisterToken(localPush.prepareWithdrawal());

        const auto sent = local.http.requests();
        if (c.expectedUrl.empty()) {
            EXPECT_TRUE(sent.empty()) << c.name;
            EXPECT_TRUE(local.console.lines().empty()) << c.name;
            EXPECT_EQ(localKeychain.load("push_token").has_value(), c.deviceToken) << c.name;
        } else {
            ASSERT_EQ(sent.size(), 2u) << c.name;
            EXPECT_EQ(sent[0].url, c.expectedUrl) << c.name;
            EXPECT_EQ(sent[1].url, c.expectedUrl) << c.name;
            EXPECT_EQ(sent[1].method, "DELETE") << c.name;
            EXPECT_EQ(localKeychain.load("push_token"), std::nullopt) << c.name;
        }
    }
}

TEST_F(PushManagerTest, TokenBeforeSignInIsKeptSilentlyAndTheFirstSignInReportsItOnce) {
    push.didRegisterForRemoteNotifications("\x01\xfe");
    runTasks();
    EXPECT_TRUE(fakes.http.requests().empty());
    EXPECT_TRUE(fakes.console.lines().empty());
    EXPECT_EQ(keychain.load("push_token"), "01fe");

    signIn("A1");
    const auto sent = pushRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "POST");
    EXPECT_EQ(sent[0].headers[1],
              (std::pair<std::string, std::string>{"Authorization", "Bearer A1"}));
    EXPECT_EQ(nlohmann::json::parse(sent[0].body),
              (nlohmann::json{{"token", "01fe"}, {"platform", "macos"}}));
    // Reported before the sign-in is announced.
    EXPECT_EQ(fakes.console.lines(),
              (std::vector<std::string>{"[Push] device token 已同步至 server",
                                        "[OAuth] 登入成功，token 已存入 Keychain"}));
}

TEST_F(PushManagerTest, ASignInRightAfterASignOutReportsAfterTheWithdrawalAndAsksAgain) {
    for (const bool granted : {true, false}) {
        test::TestPlatform local;
        local.bundle.values = fakes.bundle.values;
        KeychainHelper localKeychain{local.keychain, "com.zandorin.auth"};
        PushManager localPush{local.platform, localKeychain};
        OAuthManager localOAuth{local.platform, localKeychain, localPush};
        std::vector<std::string> served;  // push-token requests, as the service finished them
        std::function<void()> whileWithdrawing;
        local.http.setFallback([&](const platform::HttpRequest& request) -> platform::HttpResult {
            if (!request.url.ends_with("/push-token")) {
                return answer(200, R"({"access_token":"A","refresh_token":"R"})");
            }
            if (request.method == "DELETE" && whileWithdrawing) {
                std::exchange(whileWithdrawing, nullptr)();
            }
            served.push_back(request.method);
            return answer(200);
        });
        auto startSignIn = [&] {
            localOAuth.login();
            local.webAuth.sessions.back()->completion("zandorin-auth://callback?code=c",
                                                      std::nullopt);
        };
        auto settle = [&] {
            std::thread([&] { local.executor.runAll(); }).join();
            local.mainQueue.runPending();
        };

        localPush.requestPermission();
        local.userNotifications.pendingAuthorization(granted, std::nullopt);
        local.mainQueue.runPending();
        EXPECT_EQ(local.remoteNotifications.registrations, granted ? 1 : 0);
        if (granted) {
            localPush.didRegisterForRemoteNotifications("\x0a");
        }
        startSignIn();
        settle();
        // The next sign-in completes while the withdrawal's request is still out.
        whileWithdrawing = [&] {
            startSignIn();
            local.executor.runAll();
        };
        localOAuth.logout();
        settle();
        // Only with permission: the platform is asked again, and its answer is reported.
        EXPECT_EQ(local.remoteNotifications.registrations, granted ? 2 : 0) << granted;
        if (granted) {
            localPush.didRegisterForRemoteNotifications("\x0a");
            settle();
        }
        EXPECT_EQ(served, granted ? (std::vector<std::string>{"POST", "DELETE", "POST"})
                                  : std::vector<std::string>{})
            << granted;
    }
}

TEST(PushMessageTest, PayloadBecomesANotificationWhoseUserInfoKeepsTheUrlAsSent) {
    struct Case {
        std::string name;
        std::string payload;
        bool shown;
        std::string title;
        std::string body;
    };
    const std::string longest(kMaxPushPayloadBytes - 23, 'b');  // with {"title":"T","body":""}
    const std::string deepest = std::string(63, '[') + std::string(63, ']');
    const std::vector<Case> cases = {
        {"title, body and url", R"({"title":"新文件","body":"已加入","url":"https://x.test/a"})",
         true, "新文件", "已加入"},
        {"longest", R"({"title":"T","body":")" + longest + "\"}", true, "T", longest},
        {"one byte too long", R"({"title":"T","body":"b)" + longest + "\"}", false, "", ""},
        {"deepest", R"({"title":"T","a":)" + deepest + "}", true, "T", ""},
        {"nested too deep", R"({"title":"T","a":[)" + deepest + "]}", false, "", ""},
        {"url as a number is kept", R"({"title":"T","body":"B","url":42})", true, "T", "B"},
        {"body only", R"({"body":"B"})", true, "", "B"},
        {"title only", R"({"title":"T"})", true, "T", ""},
        {"non-string texts are blank", R"({"title":7,"body":"B"})", true, "", "B"},
        {"nothing to show", R"({"url":"https://x.test"})", false, "", ""},
        {"empty texts", R"({"title":"","body":""})", false, "", ""},
        {"array", R"([{"title":"T"}])", false, "", ""},
        {"plain text", "hello", false, "", ""},
        {"empty", "", false, "", ""},
        {"invalid UTF-8", "{\"title\":\"\xff\"}", false, "", ""},
        {"truncated", R"({"title":"T")", false, "", ""},
    };
    for (const auto& c : cases) {
        const auto request = notificationFromPush(c.payload, "m-1");
        ASSERT_EQ(request.has_value(), c.shown) << c.name;
        if (!request) {
            continue;
        }
        EXPECT_EQ(request->identifier, "m-1") << c.name;
        EXPECT_EQ(request->content.title, c.title) << c.name;
        EXPECT_EQ(request->content.body, c.body) << c.name;
        EXPECT_EQ(request->content.userInfo, nlohmann::json::parse(c.payload)) << c.name;
    }
}

}  // namespace
}  // namespace zandorin
