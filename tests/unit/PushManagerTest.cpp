#include <gtest/gtest.h>

#include <thread>

#include "auth/OAuthManager.h"
#include "push/PushManager.h"
#include "support/Fakes.h"

namespace zandorin {
namespace {

using platform::HttpResponse;
using platform::TransferError;
using test::answer;

const std::string kSynced = "[Push] device token 已同步至 server";
const std::string kSignedIn = "[OAuth] 登入成功，token 已存入 Keychain";

class PushManagerTest : public ::testing::Test {
protected:
    void runTasks() {
        std::thread([this] { fakes.executor.runAll(); }).join();
        fakes.mainQueue.runPending();
    }

    test::TestPlatform fakes;
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    PushManager push{fakes.platform, keychain};
};

TEST_F(PushManagerTest, TheDeviceTokenIsKeptAsLowerCaseHexPerByteAndReportedWhenSignedIn) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {std::string(1, '\0'), "00"},
        {"\x0a\x0f\x01", "0a0f01"},
        {"\xab\xcd\xef\x10\x9f\xf0\xff", "abcdef109ff0ff"},
    };
    for (const auto& [bytes, text] : cases) {
        push.didRegisterForRemoteNotifications(bytes);
        EXPECT_EQ(keychain.load("push_token"), text);
    }
    runTasks();
    EXPECT_TRUE(fakes.http.requests().empty()) << "nobody is signed in";

    keychain.save("A1", "access_token");
    fakes.http.enqueue(answer(200));
    push.didRegisterForRemoteNotifications("\x01\xfe");
    runTasks();
    ASSERT_EQ(fakes.http.requests().size(), 1u);
    EXPECT_EQ(fakes.http.requests()[0].url, "https://mcp.zandorin.com/push-token");
    EXPECT_EQ(nlohmann::json::parse(fakes.http.requests()[0].body),
              (nlohmann::json{{"token", "01fe"}, {"platform", "macos"}}));
}

TEST_F(PushManagerTest, OnlyAnAcceptedReportCountsAsSynchronised) {
    const std::vector<std::pair<platform::HttpResult, std::string>> cases = {
        {answer(200, "{}"), kSynced},
        {answer(299), kSynced},
        {answer(199), "[Push] device token 同步失敗: HTTP 199"},
        {answer(302), "[Push] device token 同步失敗: HTTP 302"},
        {answer(401), "[Push] device token 同步失敗: HTTP 401"},
        {TransferError{"timed out"}, "[Push] device token 同步失敗: timed out"},
    };
    keychain.save("A1", "access_token");
    keychain.save("0a0b", "push_token");
    for (const auto& [result, line] : cases) {
        fakes.console.lines.clear();
        fakes.http.enqueue(result);
        push.registerTokenWithServer();
        EXPECT_EQ(fakes.console.lines, std::vector<std::string>{line});
        EXPECT_EQ(keychain.load("push_token"), "0a0b") << "kept for the next report";
    }
}

TEST_F(PushManagerTest, WithoutEitherTokenOrAUrlNothingIsSentOrSaid) {
    struct Case {
        std::optional<std::string> serverUrl;
        bool deviceToken;
        bool accessToken;
        std::string url;  // empty: nothing is sent
    };
    const std::vector<Case> cases = {
        {std::nullopt, false, true, ""},
        {std::nullopt, true, false, ""},
        {"not a url", true, true, ""},
        {"https://svc.example.com/", true, true, "https://svc.example.com//push-token"},
    };
    for (const auto& c : cases) {
        test::TestPlatform local;
        if (c.serverUrl) {
            local.desktop.infoPlist["MCP_SERVER_URL"] = *c.serverUrl;
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

        std::vector<std::string> sent;
        for (const auto& request : local.http.requests()) {
            sent.push_back(request.method + " " + request.url);
        }
        const std::vector<std::string> expected = {"POST " + c.url, "DELETE " + c.url};
        EXPECT_EQ(sent, c.url.empty() ? std::vector<std::string>{} : expected);
        if (c.url.empty()) {
            EXPECT_TRUE(local.console.lines.empty()) << c.serverUrl.value_or("");
            EXPECT_EQ(localKeychain.load("push_token").has_value(), c.deviceToken);
        }
    }
}

TEST_F(PushManagerTest, ASignInRightAfterASignOutReportsAfterTheWithdrawalAndAsksAgain) {
    for (const bool granted : {true, false}) {
        test::TestPlatform local;
        KeychainHelper localKeychain{local.keychain, "com.zandorin.auth"};
        PushManager localPush{local.platform, localKeychain};
        OAuthManager oauth{local.platform, localKeychain, localPush};
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
            oauth.login();
            local.desktop.sessions.back()->completion("zandorin-auth://callback?code=c",
                                                      std::nullopt);
        };
        auto settle = [&] {
            std::thread([&] { local.executor.runAll(); }).join();
            local.mainQueue.runPending();
        };

        // The answer may come on any thread; the registration waits for the main queue.
        localPush.requestPermission();
        std::thread([&] { local.desktop.pendingAuthorization(granted, std::nullopt); }).join();
        EXPECT_EQ(local.desktop.registrations, 0);
        local.mainQueue.runPending();
        EXPECT_EQ(local.desktop.registrations, granted ? 1 : 0);
        if (granted) {
            localPush.didRegisterForRemoteNotifications("\x0a");
        }
        startSignIn();
        settle();
        // Reported before the sign-in is announced.
        const std::vector<std::string> reported = {kSynced, kSignedIn};
        EXPECT_EQ(local.console.lines, granted ? reported : std::vector<std::string>{kSignedIn});

        // The next sign-in completes while the withdrawal's request is still out.
        whileWithdrawing = [&] {
            startSignIn();
            local.executor.runAll();
        };
        oauth.logout();
        settle();
        // Only with permission: the platform is asked again, and its answer is reported.
        EXPECT_EQ(local.desktop.registrations, granted ? 2 : 0) << granted;
        if (granted) {
            localPush.didRegisterForRemoteNotifications("\x0a");
            settle();
        }
        EXPECT_EQ(served, granted ? (std::vector<std::string>{"POST", "DELETE", "POST"})
                                  : std::vector<std::string>{})
            << granted;
    }
}

}  // namespace
}  // namespace zandorin
