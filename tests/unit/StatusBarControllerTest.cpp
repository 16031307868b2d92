#include <gtest/gtest.h>

#include "auth/OAuthManager.h"
#include "menu/StatusBarController.h"
#include "support/MenuText.h"
#include "support/TestPlatform.h"
#include "support/Tokens.h"

namespace zandorin {
namespace {

using namespace std::chrono_literals;

class StatusBarControllerTest : public ::testing::Test {
protected:
    test::TestPlatform fakes;
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    PushManager push{fakes.platform, keychain};
    OAuthManager oauth{fakes.platform, keychain, push};

    std::unique_ptr<StatusBarController> makeController() {
        return std::make_unique<StatusBarController>(fakes.platform, keychain, oauth);
    }
    std::size_t menusShown() const { return fakes.statusBar.item->menus.size(); }
    std::vector<std::string> currentMenu() const {
        return test::describe(fakes.statusBar.item->menus.back());
    }
    void signInElsewhere() {
        keychain.save(test::makeToken("ada@example.com", fakes.mainQueue.now() + 1h),
                      "access_token");
    }
};

TEST_F(StatusBarControllerTest, CreationShowsTheMenuBeforeAnyCheckAndStartsTimersInOrder) {
    auto controller = makeController();
    const auto events = fakes.events.matching({"statusBar.", "statusItem.", "mainQueue."});
    const std::vector<std::string> expected = {
        "statusBar.makeStatusItem",
        "statusItem.setImage StatusBarIcon",
        "statusItem.setMenu 0",
        "statusItem.setMenu 8",
        "mainQueue.scheduleRepeating 60s",
        "mainQueue.scheduleRepeating 600s",
    };
    EXPECT_EQ(events, expected);
    ASSERT_TRUE(fakes.statusBar.item->image);
    EXPECT_TRUE(fakes.statusBar.item->image->isTemplate);
    EXPECT_EQ(fakes.statusBar.item->image->width, 18);
    EXPECT_EQ(fakes.statusBar.item->image->height, 18);
    EXPECT_EQ(currentMenu().front(), "status Mirrowen [circle.fill red]");
    EXPECT_EQ(currentMenu()[3], "info     載入中…");
}

TEST_F(StatusBarControllerTest, AMissingButtonOrImageLeavesAWorkingMenu) {
    fakes.statusBar.itemsHaveButton = false;
    auto withoutButton = makeController();
    EXPECT_TRUE(fakes.events.matching({"statusItem.setImage"}).empty());
    EXPECT_EQ(menusShown(), 2u);

    fakes.statusBar.itemsHaveButton = true;
    fakes.statusBar.imageExists = false;
    auto withoutImage = makeController();
    EXPECT_FALSE(fakes.statusBar.item->image);
    EXPECT_EQ(menusShown(), 2u);
}

TEST_F(StatusBarControllerTest, SignedInAtCreationShowsCheckingState) {
    signInElsewhere();
    auto controller = makeController();
    fakes.mainQueue.runPending();
    const std::vector<std::string> expected = {"status Mirrowen — ada@example.com [circle grey]",
                                               "---",
                                               "header   Tirrel知識庫",
                                               "info     載入中…",
                                               "---",
                                               "info   已登入",
                                               "info   MCP Server 檢查中...",
                                               "---",
                                               "command 登出 -> logout",
                                               "---",
                                               "command 結束 -> quit key q"};
    EXPECT_EQ(currentMenu(), expected);

    // A rendering reads the keyring once: each read is a round trip on the main thread.
    fakes.events.clear();
    controller->updateStatus();
    EXPECT_EQ(fakes.events.matching({"keychain."}).size(), 1u);
}

TEST_F(StatusBarControllerTest, HealthTimerFirstFiresOneIntervalAfterCreation) {
    auto controller = makeController();
    fakes.mainQueue.runPending();  // the first check's re-render
    const auto afterStart = menusShown();

    fakes.mainQueue.advance(59s);
    EXPECT_EQ(menusShown(), afterStart);
    fakes.mainQueue.advance(1s);
    EXPECT_EQ(menusShown(), afterStart + 1);  // signed out: the check resets and re-renders
    fakes.mainQueue.advance(60s);
    EXPECT_EQ(menusShown(), afterStart + 2);
    // Ten minutes hold ten health firings; the statistics timer is the other live timer.
    fakes.mainQueue.advance(480s);
    EXPECT_EQ(menusShown(), afterStart + 10);
    EXPECT_EQ(fakes.mainQueue.liveTimers(), 2u);
}

TEST_F(StatusBarControllerTest, AuthChangeRendersAtOnceThenChecks) {
    auto controller = makeController();
    fakes.mainQueue.runPending();
    const auto before = menusShown();

    signInElsewhere();
    fakes.notificationCenter.post(OAuthManager::authStateChanged);
    // Rendered synchronously, before anything queued runs.
    EXPECT_EQ(menusShown(), before + 1);
    EXPECT_EQ(currentMenu().front(), "status Mirrowen — ada@example.com [circle grey]");
    fakes.mainQueue.runPending();
    EXPECT_EQ(menusShown(), before + 1);  // signed in: no reset render

    keychain.remove("access_token");
    fakes.notificationCenter.post(OAuthManager::authStateChanged);
    EXPECT_EQ(currentMenu().front(), "status Mirrowen [circle.fill red]");
    fakes.mainQueue.runPending();
    EXPECT_EQ(menusShown(), before + 3);  // render, then the signed-out check's render
    EXPECT_TRUE(fakes.http.requests().empty());
}

TEST_F(StatusBarControllerTest, NothingFiresAfterTheControllerIsGone) {
    auto controller = makeController();
    controller.reset();
    EXPECT_EQ(fakes.mainQueue.liveTimers(), 0u);
    // The first check's queued render and a late notification find no controller.
    fakes.mainQueue.runPending();
    fakes.notificationCenter.post(OAuthManager::authStateChanged);
    fakes.mainQueue.advance(3600s);
}

TEST_F(StatusBarControllerTest, QuitTerminatesTheApplication) {
    auto controller = makeController();
    fakes.statusBar.item->handler(platform::MenuAction::quit);
    EXPECT_EQ(fakes.application.terminations, 1);
}

}  // namespace
}  // namespace zandorin
