#include <gtest/gtest.h>

#include <thread>

#include "app/AppDelegate.h"
#include "support/MenuText.h"
#include "support/TestPlatform.h"
#include "support/Tokens.h"

namespace zandorin {
namespace {

using namespace std::chrono_literals;

class AppDelegateTest : public ::testing::Test {
protected:
    test::TestPlatform fakes;
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    PushManager push{fakes.platform, keychain};
    OAuthManager oauth{fakes.platform, keychain, push};
    AppDelegate delegate{fakes.platform, keychain, oauth, push};

    std::vector<std::string> startupEvents() const {
        return fakes.events.matching({"application.", "statusBar.", "userNotifications.",
                                      "mainQueue.scheduleRepeating", "remoteNotifications."});
    }
};

TEST_F(AppDelegateTest, StartUpRunsInOrderAndSchedulesRefreshForAnyStoredToken) {
    struct Case {
        std::string name;
        std::optional<std::string> token;
        bool refreshTimer;
        bool keyringLocked = false;
    };
    const std::vector<Case> cases = {
        {"signed out", std::nullopt, false},
        {"expired token still refreshes", test::makeToken(R"({"exp":1})"), true},
        {"unreadable token still refreshes", std::string("opaque"), true},
        {"locked keyring: a notice and a retry, never a prompt", std::string("opaque"), false,
         true},
    };
    for (const auto& c : cases) {
        test::TestPlatform local;
        KeychainHelper localKeychain{local.keychain, "com.zandorin.auth"};
        PushManager localPush{local.platform, localKeychain};
        OAuthManager localOAuth{local.platform, localKeychain, localPush};
        AppDelegate localDelegate{local.platform, localKeychain, localOAuth, localPush};
        if (c.token) {
            localKeychain.save(*c.token, "access_token");
        }
        local.keychain.setLocked(c.keyringLocked);
        localDelegate.applicationDidFinishLaunching();

        std::vector<std::string> expected = {
            "application.setActivationPolicy 1", "statusBar.makeStatusItem",
            "mainQueue.scheduleRepeating 60s", "mainQueue.scheduleRepeating 600s",
            "userNotifications.requestAuthorization 7"};
        if (c.refreshTimer) {
            expected.push_back("mainQueue.scheduleRepeating 240s");
        }
        if (c.keyringLocked) {
            expected.push_back(std::string("userNotifications.add ") + AppDelegate::keyringNotice);
            expected.push_back("mainQueue.scheduleRepeating 60s");
        }
        expected.push_back("userNotifications.setDelegate");
        EXPECT_EQ(local.keychain.unlockPrompts, 0) << c.name;
        EXPECT_EQ(local.events.matching({"application.", "statusBar.", "userNotifications.",
                                         "mainQueue.scheduleRepeating"}),
                  expected)
            << c.name;
        EXPECT_EQ(local.userNotifications.delegate, &localDelegate) << c.name;
        EXPECT_TRUE(localDelegate.controller()) << c.name;
    }
}

TEST_F(AppDelegateTest, ALockedKeyringAtStartIsReadAgainOnceItOpensWithoutARestart) {
    enum class Trigger { keyringSignal, retryTimer, noticeClick };
    for (const auto trigger : {Trigger::keyringSignal, Trigger::retryTimer, Trigger::noticeClick}) {
        test::TestPlatform local;
        KeychainHelper localKeychain{local.keychain, "com.zandorin.auth"};
        PushManager localPush{local.platform, localKeychain};
        OAuthManager localOAuth{local.platform, localKeychain, localPush};
        AppDelegate localDelegate{local.platform, localKeychain, localOAuth, localPush};
        localKeychain.save(test::makeToken(R"({"email":"ada@example.com"})"), "access_token");
        local.keychain.setLocked(true);
        localDelegate.applicationDidFinishLaunching();
        ASSERT_TRUE(local.keychainMonitor.handler);
        local.keychainMonitor.handler();  // a change that leaves it locked changes nothing
        local.events.clear();

        switch (trigger) {
            case Trigger::keyringSignal:
                local.keychain.setLocked(false);
                local.keychainMonitor.handler();
                break;
            case Trigger::retryTimer:
                local.keychain.setLocked(false);
                local.mainQueue.advance(AppDelegate::keyringRetryInterval);
                break;
            case Trigger::noticeClick:
                localDelegate.didReceive({local.userNotifications.added.at(0), "default"}, [] {});
                local.executor.runAll();  // the prompt, away from the main thread
                local.mainQueue.runPending();
                break;
        }
        EXPECT_EQ(local.keychain.unlockPrompts, trigger == Trigger::noticeClick ? 1 : 0);
        EXPECT_EQ(local.events.matching({"mainQueue.scheduleRepeating 240s"}).size(), 1u);
        EXPECT_TRUE(test::describe(local.statusBar.item->menus.back())
                        .at(0)
                        .starts_with("status Mirrowen — ada@example.com"));
        // Read once: neither the signal nor the retry timer acts any more.
        local.keychainMonitor.handler();
        local.mainQueue.advance(AppDelegate::keyringRetryInterval * 3);
        EXPECT_EQ(local.events.matching({"mainQueue.scheduleRepeating 240s"}).size(), 1u);
        EXPECT_EQ(local.userNotifications.added.size(), 1u);
    }
}

TEST_F(AppDelegateTest, RefreshTimerFiresEveryFourMinutes) {
    keychain.save("opaque", "access_token");
    delegate.applicationDidFinishLaunching();
    fakes.mainQueue.advance(239s);
    // The menu's first health check and statistics fetch wait unrun; the check stays in flight.
    const auto before = fakes.executor.pending();
    fakes.mainQueue.advance(1s);
    EXPECT_EQ(fakes.executor.pending(), before + 1);  // one refresh task started
    fakes.mainQueue.advance(240s);
    EXPECT_EQ(fakes.executor.pending(), before + 2);
}

TEST_F(AppDelegateTest, GrantedPermissionRegistersOnTheMainQueueOnly) {
    struct Case {
        bool granted;
        std::optional<std::string> error;
        int registrations;
    };
    const std::vector<Case> cases = {{true, std::nullopt, 1},
                                     {false, std::nullopt, 0},
                                     {false, std::string("denied"), 0},
                                     {true, std::string("odd"), 1}};
    for (const auto& c : cases) {
        test::TestPlatform local;
        KeychainHelper localKeychain{local.keychain, "com.zandorin.auth"};
        PushManager localPush{local.platform, localKeychain};
        localPush.requestPermission();
        ASSERT_TRUE(local.userNotifications.pendingAuthorization);
        // The answer may come on any thread; the registration must still wait for the main queue.
        std::thread answer(
            [&] { local.userNotifications.pendingAuthorization(c.granted, c.error); });
        answer.join();
        EXPECT_EQ(local.remoteNotifications.registrations, 0);
        local.mainQueue.runPending();
        EXPECT_EQ(local.remoteNotifications.registrations, c.registrations) << c.granted;
        EXPECT_TRUE(local.console.lines().empty());
    }
}

TEST_F(AppDelegateTest, NotificationsShowAsBannerWithSound) {
    int calls = 0;
    unsigned options = 0;
    delegate.willPresent({}, [&](unsigned o) {
        ++calls;
        options = o;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(options, 18u);
}

TEST_F(AppDelegateTest, AClickOpensTheUrlStringAndAlwaysCompletesOnce) {
    struct Case {
        std::string name;
        nlohmann::json userInfo;
        std::vector<std::string> opened;
    };
    const std::vector<Case> cases = {
        {"web link", {{"url", "https://example.com/news?id=1"}}, {"https://example.com/news?id=1"}},
        {"url as number", {{"url", 42}}, {}},
        {"url as object", {{"url", {{"href", "https://example.com"}}}}, {}},
        {"url that is not a URL", {{"url", "not a url"}}, {}},
        {"empty url", {{"url", ""}}, {}},
        {"no url", {{"title", "x"}}, {}},
        {"user info not an object", nlohmann::json::array(), {}},
    };
    for (const auto& c : cases) {
        fakes.workspace.opened.clear();
        platform::NotificationResponse response;
        response.request.content.userInfo = c.userInfo;
        response.actionIdentifier = "anything";
        int completions = 0;
        delegate.didReceive(response, [&] { ++completions; });
        EXPECT_EQ(completions, 1) << c.name;
        EXPECT_EQ(fakes.workspace.opened, c.opened) << c.name;
    }
}

TEST_F(AppDelegateTest, RemoteRegistrationOutcomesReachThePushManager) {
    delegate.didRegisterForRemoteNotifications(std::string("\x00\x0a\xab\xff\x10", 5));
    EXPECT_EQ(keychain.load("push_token"), "000aabff10");
    const auto item = fakes.keychain.item("com.zandorin.auth", "com.zandorin.auth.push_token");
    ASSERT_TRUE(item);
    EXPECT_FALSE(item->access);  // default access: this application only

    delegate.didFailToRegisterForRemoteNotifications("no distributor");
    EXPECT_EQ(fakes.console.lines(),
              std::vector<std::string>{"[Push] 無法取得 APNs token: no distributor"});
    EXPECT_EQ(keychain.load("push_token"), "000aabff10");
}

TEST_F(AppDelegateTest, PushedMessagesShowNotificationsWhoseClickOpensAStringUrl) {
    struct Case {
        std::string payload;
        std::vector<std::string> opened;
    };
    const std::vector<Case> cases = {
        {R"({"title":"T","body":"B","url":"https://kb.example.com/doc/1"})",
         {"https://kb.example.com/doc/1"}},
        {R"({"title":"T","body":"B","url":1234})", {}},
        {R"({"title":"T","body":"B"})", {}},
    };
    for (const auto& c : cases) {
        fakes.userNotifications.added.clear();
        fakes.workspace.opened.clear();
        delegate.didReceiveRemoteNotification(c.payload, "id-1");
        ASSERT_EQ(fakes.userNotifications.added.size(), 1u) << c.payload;
        int completions = 0;
        delegate.didReceive({fakes.userNotifications.added[0], "default"},
                            [&completions] { ++completions; });
        EXPECT_EQ(completions, 1) << c.payload;
        EXPECT_EQ(fakes.workspace.opened, c.opened) << c.payload;
    }

    // A payload that asks for no notification is dropped; the log keeps its size, not its text.
    delegate.didReceiveRemoteNotification(R"({"secret":"s3cr3t"})", "id-2");
    EXPECT_EQ(fakes.userNotifications.added.size(), 1u);
    const auto lines = fakes.systemLog.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].category, "Push");
    EXPECT_EQ(lines[0].message.find("s3cr3t"), std::string::npos);
}

}  // namespace
}  // namespace zandorin
