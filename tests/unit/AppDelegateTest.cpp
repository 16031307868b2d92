#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "push/PushMessage.h"
#include "support/Fakes.h"

namespace zandorin {
namespace {

using namespace std::chrono_literals;

struct App {
    test::TestPlatform fakes;
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    PushManager push{fakes.platform, keychain};
    OAuthManager oauth{fakes.platform, keychain};
    AppDelegate delegate{fakes.platform, keychain, oauth, push};

    std::size_t refreshTimers() const {
        return fakes.mainQueue.liveTimers(OAuthManager::refreshInterval);
    }
};

class AppDelegateTest : public ::testing::Test, protected App {};

TEST_F(AppDelegateTest, StartUpSchedulesARefreshForAnyStoredTokenAndNeverPromptsForTheKeyring) {
    const std::vector<std::tuple<std::optional<std::string>, bool, std::size_t, bool>> cases = {
        // the stored token, whether the keyring is locked, the refresh timers after the start,
        // whether an earlier run's sign-out is still to finish
        {std::nullopt, false, 0, false},
        {test::makeToken(R"({"exp":1})"), false, 1, false},  // expired: what the refresh is for
        {"opaque", false, 1, false},
        {"opaque", true, 0, false},  // locked: a notice and another read later
        {"opaque", false, 0, true},  // signed out: the tokens go, unused
    };
    for (const auto& [token, locked, refreshTimers, pending] : cases) {
        App app;
        if (token) {
            app.keychain.save(*token, "access_token");
        }
        if (pending) {
            app.fakes.desktop.set(OAuthManager::signOutPendingFlag, true);
        }
        app.fakes.keychain.locked = locked;
        app.delegate.applicationDidFinishLaunching();
        EXPECT_TRUE(app.fakes.desktop.pendingAuthorization) << "permission asked";
        EXPECT_EQ(app.fakes.desktop.notificationDelegate, &app.delegate) << "clicks reach nobody";
        EXPECT_EQ(app.refreshTimers(), refreshTimers) << token.value_or("none");
        EXPECT_EQ(app.fakes.desktop.notificationIds(),
                  locked ? std::vector<std::string>{AppDelegate::keyringNotice}
                         : std::vector<std::string>{});
        EXPECT_EQ(app.fakes.keychain.unlockPrompts, 0);
        app.fakes.settle();
        EXPECT_EQ(app.fakes.keychain.items.empty(), !token || pending);
        EXPECT_TRUE(app.fakes.desktop.flags.empty());
    }
    // A sign-out that does not come from the menu (a refused refresh) redraws it at once.
    App app;
    app.keychain.save(test::makeToken(R"({"email":"ada@example.com"})"), "access_token");
    app.delegate.applicationDidFinishLaunching();
    app.fakes.settle();
    app.oauth.logout();
    app.fakes.mainQueue.runPending();
    EXPECT_EQ(test::describe(app.fakes.desktop.menus.back())[0],
              "status Mirrowen [circle.fill red]");
}

TEST_F(AppDelegateTest, ALockedKeyringAtStartIsReadAgainOnceItOpensWithoutARestart) {
    enum class Trigger { keyringSignal, retryTimer, noticeClick };
    for (const auto trigger : {Trigger::keyringSignal, Trigger::retryTimer, Trigger::noticeClick}) {
        App app;
        auto& fakes = app.fakes;
        app.keychain.save(test::makeToken(R"({"email":"ada@example.com"})"), "access_token");
        fakes.keychain.locked = true;
        app.delegate.applicationDidFinishLaunching();
        fakes.desktop.keyringChanged();  // a change that leaves it locked changes nothing
        EXPECT_EQ(app.refreshTimers(), 0u);

        if (trigger == Trigger::noticeClick) {
            int answered = 0;
            app.delegate.didReceive({fakes.desktop.notifications.at(0), "default"},
                                    [&answered] { ++answered; });
            EXPECT_EQ(answered, 1);
            fakes.settle();  // the prompt, away from the main thread
        } else {
            fakes.keychain.locked = false;
            trigger == Trigger::keyringSignal
                ? fakes.desktop.keyringChanged()
                : fakes.mainQueue.advance(AppDelegate::keyringRetryInterval);
        }
        EXPECT_EQ(fakes.keychain.unlockPrompts, trigger == Trigger::noticeClick ? 1 : 0);
        EXPECT_EQ(app.refreshTimers(), 1u);
        EXPECT_EQ(test::describe(fakes.desktop.menus.back())[0],
                  "status Mirrowen — ada@example.com [circle.fill yellow]");
        // Read once: neither the signal nor the retry timer acts any more.
        fakes.desktop.keyringChanged();
        fakes.mainQueue.advance(AppDelegate::keyringRetryInterval * 3);
        EXPECT_EQ(app.refreshTimers(), 1u);
        EXPECT_EQ(fakes.desktop.notifications.size(), 1u);
        EXPECT_EQ(fakes.mainQueue.liveTimers(AppDelegate::keyringRetryInterval), 1u) << "health";
    }
    // Locked while it runs: the menu says that nobody knows and blames no server, until the
    // keyring opens again.
    App app;
    app.keychain.save(test::makeToken(R"({"email":"ada@example.com"})"), "access_token");
    app.delegate.applicationDidFinishLaunching();
    app.fakes.keychain.locked = true;
    app.fakes.desktop.keyringChanged();  // at once, not at the next check
    app.fakes.mainQueue.runPending();
    auto menu = test::describe(app.fakes.desktop.menus.back());
    EXPECT_EQ(menu.at(0), "status Mirrowen [circle.fill yellow]");
    EXPECT_EQ(menu.at(6), "command 解鎖鑰匙圈… -> unlockKeyring");
    EXPECT_TRUE(app.fakes.desktop.notifications.empty()) << "the menu says it: no notice";
    EXPECT_TRUE(app.fakes.http.requests.empty());
    app.fakes.desktop.click(platform::MenuAction::unlockKeyring);
    app.fakes.settle();
    EXPECT_EQ(app.fakes.keychain.unlockPrompts, 1);
    EXPECT_EQ(test::describe(app.fakes.desktop.menus.back())[0],
              "status Mirrowen — ada@example.com [circle.fill yellow]");
}

TEST_F(AppDelegateTest, WakingOrTheNetworkReturningRefreshesWhenDueThenChecksAtOnce) {
    using platform::SystemEvent;
    const std::vector<std::tuple<bool, std::chrono::hours, SystemEvent, std::string>> cases = {
        // signed in, how long it slept, the event; the requests that follow, in order
        {true, 8h, SystemEvent::wokeFromSleep, "token mcp stats"},
        {true, 0h, SystemEvent::networkReturned, "mcp stats"},
        {true, 8h, SystemEvent::networkReturned, "token mcp stats"},
        {false, 8h, SystemEvent::wokeFromSleep, "stats"},
    };
    for (const auto& [signedIn, slept, event, expected] : cases) {
        App app;
        auto& fakes = app.fakes;
        if (signedIn) {
            app.keychain.save(test::makeToken(R"({"exp":1})"), "access_token");
            app.keychain.save("R1", "refresh_token");
        }
        app.delegate.applicationDidFinishLaunching();
        fakes.settle();
        fakes.http.requests.clear();
        fakes.mainQueue.sleep(slept);
        fakes.desktop.systemEvent(event);
        fakes.settle();
        std::string seen;
        for (const auto& request : fakes.http.requests) {
            const std::string kind = request.url.ends_with("/mcp")         ? "mcp"
                                     : request.url.ends_with("/api/stats") ? "stats"
                                                                           : "token";
            if (!seen.ends_with(kind)) {
                seen += (seen.empty() ? "" : " ") + kind;
            }
        }
        EXPECT_EQ(seen, expected);
        // The period starts again from the refresh: no second one when the late tick comes.
        fakes.http.requests.clear();
        fakes.mainQueue.advance(OAuthManager::refreshInterval - 1s);
        fakes.settle();
        EXPECT_EQ(std::count_if(fakes.http.requests.begin(), fakes.http.requests.end(),
                                [](const auto& r) { return r.url.ends_with("/token"); }),
                  0);
    }
}

TEST_F(AppDelegateTest, APushedMessageIsShownAsSentOrLoggedBySizeAndAClickOpensOnlyWebLinks) {
    const std::string longest(kMaxPushPayloadBytes - 23, 'b');  // with {"title":"T","body":""}
    const std::string deepest = std::string(63, '[') + std::string(63, ']');
    const auto refused = [](const std::string& scheme) {
        return "Push: did not open a link of the scheme \"" + scheme +
               "\": only http and https links are opened";
    };
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        // the payload; "title | body" shown, "" when dropped; what a click opens or logs
        {R"({"title":"新文件","body":"已加入","url":"https://x.test/a"})", "新文件 | 已加入",
         "https://x.test/a"},
        {R"({"title":"T","url":"HTTP://EXAMPLE.com/a"})", "T | ", "HTTP://EXAMPLE.com/a"},
        {R"({"title":"T","url":"file:///etc/passwd"})", "T | ", refused("file")},
        {R"({"body":"B","url":"zandorin-auth://callback?code=c"})", " | B",
         refused("zandorin-auth")},
        {R"({"title":"T","url":"not a url"})", "T | ", ""},
        {R"({"title":7,"body":"B","url":42})", " | B", ""},
        {R"({"title":"T","body":")" + longest + "\"}", "T | " + longest, ""},
        {R"({"title":"T","body":"b)" + longest + "\"}", "", ""},
        {R"({"title":"T","a":)" + deepest + "}", "T | ", ""},
        {R"({"title":"T","a":[)" + deepest + "]}", "", ""},
        {R"({"url":"https://x.test"})", "", ""},
        {R"({"title":"","body":""})", "", ""},
        {R"([{"title":"T"}])", "", ""},
        {"{\"title\":\"\xff\"}", "", ""},
    };
    for (const auto& [payload, text, click] : cases) {
        fakes.desktop.notifications.clear();
        fakes.desktop.opened.clear();
        fakes.systemLog.lines.clear();
        // A pushed id that spells one of our own notices names only the pushed message.
        delegate.didReceiveRemoteNotification(payload, AppDelegate::keyringNotice);
        const auto shown = fakes.desktop.notifications;
        ASSERT_EQ(shown.size(), text.empty() ? 0u : 1u) << payload.substr(0, 60);
        for (const auto& request : shown) {
            EXPECT_EQ(
                request.identifier + ": " + request.content.title + " | " + request.content.body,
                std::string("push/") + AppDelegate::keyringNotice + ": " + text);
            EXPECT_EQ(request.content.userInfo, nlohmann::json::parse(payload));
            int completions = 0;
            delegate.didReceive({request, "default"}, [&] { ++completions; });
            EXPECT_EQ(completions, 1);
        }
        // The payload may be personal: only the size of a dropped one is logged.
        const std::string dropped = "Push: ignored a pushed message of " +
                                    std::to_string(payload.size()) +
                                    " bytes: not a JSON object with a title or a body";
        auto seen = fakes.desktop.opened;
        seen.insert(seen.end(), fakes.systemLog.lines.begin(), fakes.systemLog.lines.end());
        EXPECT_EQ(seen, shown.empty()   ? std::vector{dropped}
                        : click.empty() ? std::vector<std::string>{}
                                        : std::vector{click});
    }
}

}  // namespace
}  // namespace zandorin
