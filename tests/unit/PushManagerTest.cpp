#include <gtest/gtest.h>

#include <thread>

#include "app/AppDelegate.h"
#include "support/Fakes.h"

namespace zandorin {
namespace {

using test::answer;

const std::string kSynced = "[Push] device token 已同步至 server";
const std::string kSignedIn = "[OAuth] 登入成功，token 已存入 Keychain";

struct Rig {
    explicit Rig(const std::string& url = "https://svc.example.com")
        : serviceUrl(fakes.desktop.infoPlist["MCP_SERVER_URL"] = url) {}
    void startSignIn() {
        oauth.login();
        fakes.desktop.sessions.back()->completion("zandorin-auth://callback?code=c", std::nullopt);
    }

    test::TestPlatform fakes;
    const std::string serviceUrl;  // before the push manager, which reads it once
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    PushManager push{fakes.platform, keychain};
    OAuthManager oauth{fakes.platform, keychain};
    AppDelegate delegate{fakes.platform, keychain, oauth, push};  // tells push of sign-ins
};

class PushManagerTest : public ::testing::Test, protected Rig {};

TEST_F(PushManagerTest, TheDeviceTokenIsKeptAsLowerCaseHexPerByteAndReportedWhenSignedIn) {
    push.didRegisterForRemoteNotifications(
        std::string("\0\x0a\x0f\xab\xcd\xef\x10\x9f\xf0\xff", 10));
    EXPECT_EQ(keychain.load("push_token"), "000a0fabcdef109ff0ff");

    keychain.save("A1", "access_token");
    fakes.http.enqueue(answer(200));
    push.didRegisterForRemoteNotifications("\x01\xfe");
    fakes.settle();
    const auto report = fakes.http.requests.at(0);
    EXPECT_EQ(report.method + " " + report.url, "POST https://svc.example.com/push-token");
    EXPECT_EQ(nlohmann::json::parse(report.body),
              (nlohmann::json{{"token", "01fe"}, {"platform", "macos"}}));
}

TEST_F(PushManagerTest, OnlyAnAcceptedReportCountsAndWithoutBothTokensOrAUrlNothingIsSent) {
    const std::string failed = "[Push] device token 同步失敗: ";
    const std::string svc = "https://svc.example.com";
    const std::vector<std::tuple<std::string, std::string, platform::HttpResult, std::string>>
        cases = {
            // the service's URL, the tokens stored ("device", "access"), the report's answer,
            // what the console says
            {svc + "/", "device access", answer(200, "{}"), kSynced},
            {svc, "device access", answer(299), kSynced},
            {svc, "device access", answer(199), failed + "HTTP 199"},
            {svc, "device access", answer(302), failed + "HTTP 302"},
            {svc, "device access", platform::TransferError{"timed out"}, failed + "timed out"},
            {svc, "access", answer(200), ""},
            {svc, "device", answer(200), ""},
            {"not a url", "device access", answer(200), ""},
        };
    for (const auto& [serviceUrl, stored, result, line] : cases) {
        Rig rig(serviceUrl);
        if (stored.starts_with("device")) {
            rig.keychain.save("0a0b", "push_token");
        }
        if (stored.ends_with("access")) {
            rig.keychain.save("A1", "access_token");
        }
        rig.fakes.http.enqueue(result);
        rig.push.registerTokenWithServer();
        EXPECT_EQ(rig.fakes.console.lines,
                  line.empty() ? std::vector<std::string>{} : std::vector{line});
        EXPECT_EQ(rig.keychain.load("push_token").has_value(), stored.starts_with("device"))
            << "kept for the next report";
        // The withdrawal's answer does not matter: the device token goes all the same.
        rig.push.unregisterToken(rig.push.prepareWithdrawal());

        const auto& sent = rig.fakes.http.requests;
        ASSERT_EQ(sent.size(), line.empty() ? 0u : 2u);
        for (const auto& request : sent) {
            EXPECT_EQ(request.url, serviceUrl + "/push-token");  // as written, "//" and all
        }
        EXPECT_TRUE(sent.empty() || (sent[0].method == "POST" && sent[1].method == "DELETE"));
        EXPECT_EQ(rig.keychain.load("push_token").has_value(),
                  stored == "device" || serviceUrl == "not a url");
    }
}

TEST_F(PushManagerTest, ASignInRightAfterASignOutReportsAfterTheWithdrawalAndAsksAgain) {
    for (const bool granted : {true, false}) {
        Rig rig;
        auto& fakes = rig.fakes;
        std::vector<std::string> served;  // push-token requests, as the service finished them
        std::function<void()> whileWithdrawing;
        fakes.http.fallback = [&](const platform::HttpRequest& request) -> platform::HttpResult {
            if (!request.url.ends_with("/push-token")) {
                return answer(200, R"({"access_token":"A","refresh_token":"R"})");
            }
            if (request.method == "DELETE" && whileWithdrawing) {
                std::exchange(whileWithdrawing, nullptr)();
            }
            served.push_back(request.method);
            return answer(200);
        };

        // The answer may come on any thread; the registration waits for the main queue.
        rig.push.requestPermission();
        std::thread([&] { fakes.desktop.pendingAuthorization(granted, std::nullopt); }).join();
        EXPECT_EQ(fakes.desktop.registrations, 0);
        fakes.mainQueue.runPending();
        EXPECT_EQ(fakes.desktop.registrations, granted ? 1 : 0);
        if (granted) {
            rig.push.didRegisterForRemoteNotifications("\x0a");
        }
        rig.startSignIn();
        fakes.settle();
        // Reported before the sign-in is announced.
        const std::vector<std::string> reported = {kSynced, kSignedIn};
        EXPECT_EQ(fakes.console.lines, granted ? reported : std::vector<std::string>{kSignedIn});

        // The next sign-in completes while the withdrawal's request is still out.
        whileWithdrawing = [&] {
            rig.startSignIn();
            fakes.executor.runAll();
        };
        rig.oauth.logout();
        fakes.settle();
        // Only with permission: the platform is asked again, and its answer is reported.
        EXPECT_EQ(fakes.desktop.registrations, granted ? 2 : 0) << granted;
        if (granted) {
            rig.push.didRegisterForRemoteNotifications("\x0a");
            fakes.settle();
        }
        EXPECT_EQ(served, granted ? (std::vector<std::string>{"POST", "DELETE", "POST"})
                                  : std::vector<std::string>{})
            << granted;
    }
}

}  // namespace
}  // namespace zandorin
