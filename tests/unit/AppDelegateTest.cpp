#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "support/Fakes.h"

namespace zandorin {
namespace {

using namespace std::chrono_literals;

struct App {
    test::TestPlatform fakes;
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    PushManager push{fakes.platform, keychain};
    OAuthManager oauth{fakes.platform, keychain, push};
    AppDelegate delegate{fakes.platform, keychain, oauth, push};

    std::size_t refreshTimers() const {
        return fakes.mainQueue.liveTimers(OAuthManager::refreshInterval);
    }
};

class AppDelegateTest : public ::testing::Test, protected App {};

TEST_F(AppDelegateTest, StartUpSchedulesARefreshForAnyStoredTokenAndNeverPromptsForTheKeyring) {
    const std::vector<std::tuple<std::optional<std::string>, bool, std::size_t>> cases = {
        // the stored token, whether the keyring is locked, the refresh timers after the start
        {std::nullopt, false, 0},
        {test::makeToken(R"({"exp":1})"), false, 1},  // expired: the refresh is what it needs
        {"opaque", false, 1},
        {"opaque", true, 0},  // locked: a notice and another read later
    };
    for (const auto& [token, locked, refreshTimers] : cases) {
        App app;
        if (token) {
            app.keychain.save(*token, "access_token");
        }
        app.fakes.keychain.locked = locked;
        app.delegate.applicationDidFinishLaunching();
        EXPECT_TRUE(app.delegate.controller());
        EXPECT_TRUE(app.fakes.desktop.pendingAuthorization) << "permission asked";
        EXPECT_EQ(app.fakes.desktop.notificationDelegate, &app.delegate);
        EXPECT_EQ(app.refreshTimers(), refreshTimers) << token.value_or("none");
        EXPECT_EQ(app.fakes.desktop.notificationIds(),
                  locked ? std::vector<std::string>{AppDelegate::keyringNotice}
                         : std::vector<std::string>{});
        EXPECT_EQ(app.fakes.keychain.unlockPrompts, 0);
    }
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
            app.delegate.didReceive({fakes.desktop.notifications.at(0), "default"}, [] {});
            fakes.settle();  // the prompt, away from the main thread
        } else {
            fakes.keychain.locked = false;
            trigger == Trigger::keyringSignal
                ? fakes.desktop.keyringChanged()
                : fakes.mainQueue.advance(AppDelegate::keyringRetryInterval);
        }
        EXPECT_EQ(fakes.keychain.unlockPrompts, trigger == Trigger::noticeClick ? 1 : 0);
        EXPECT_EQ(app.refreshTimers(), 1u);
        EXPECT_TRUE(test::describe(fakes.desktop.menus.back())
                        .at(0)
                        .starts_with("status Mirrowen — ada@example.com"));
        // Read once: neither the signal nor the retry timer acts any more.
        fakes.desktop.keyringChanged();
        fakes.mainQueue.advance(AppDelegate::keyringRetryInterval * 3);
        EXPECT_EQ(app.refreshTimers(), 1u);
        EXPECT_EQ(fakes.desktop.notifications.size(), 1u);
    }
}

TEST_F(AppDelegateTest, AClickOpensTheNotificationsUrlOnlyWhenItIsAWebLink) {
    const auto refused = [](const std::string& scheme) {
        return "Push: did not open a link of the scheme \"" + scheme +
               "\": only http and https links are opened";
    };
    const std::vector<std::pair<nlohmann::json, std::string>> cases = {
        // what happens: the URL opened, or the journal's line, or nothing
        {{{"url", "https://example.com/news?id=1"}}, "https://example.com/news?id=1"},
        {{{"url", "HTTP://EXAMPLE.com/a"}}, "HTTP://EXAMPLE.com/a"},
        {{{"url", "file:///etc/passwd"}}, refused("file")},
        {{{"url", "zandorin-auth://callback?code=c"}}, refused("zandorin-auth")},
        {{{"url", 42}}, ""},
        {{{"url", "not a url"}}, ""},
        {nlohmann::json::array(), ""},
    };
    for (const auto& [userInfo, outcome] : cases) {
        fakes.desktop.opened.clear();
        fakes.systemLog.lines.clear();
        platform::NotificationResponse response;
        response.request.content.userInfo = userInfo;
        int completions = 0;
        delegate.didReceive(response, [&] { ++completions; });
        EXPECT_EQ(completions, 1) << userInfo;
        auto seen = fakes.desktop.opened;
        seen.insert(seen.end(), fakes.systemLog.lines.begin(), fakes.systemLog.lines.end());
        EXPECT_EQ(seen, outcome.empty() ? std::vector<std::string>{} : std::vector{outcome});
    }
}

TEST_F(AppDelegateTest, APushedMessageWithoutTextIsDroppedAndLoggedBySizeOnly) {
    delegate.didReceiveRemoteNotification(R"({"title":"T","body":"B"})", "id-1");
    delegate.didReceiveRemoteNotification(R"({"secret":"s3cr3t"})", "id-2");
    EXPECT_EQ(fakes.desktop.notificationIds(), std::vector<std::string>{"id-1"});
    EXPECT_EQ(fakes.systemLog.lines,
              std::vector<std::string>{"Push: ignored a pushed message of 19 bytes: not a JSON "
                                       "object with a title or a body"});
}

}  // namespace
}  // namespace zandorin
