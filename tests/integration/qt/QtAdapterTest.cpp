// The Qt adapters against a real QApplication on the offscreen platform: no display and no
// tray are needed for the queue, the timers and the menu built from a model.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QPointer>

#include "adapters/qt/QtApplicationHost.h"
#include "adapters/qt/QtStatusItem.h"
#include "support/qt/QtTestLoop.h"

namespace {

using namespace std::chrono_literals;
using zandorin::adapters::QtApplicationHost;
using zandorin::adapters::QtStatusItem;
using zandorin::platform::MenuAction;
using zandorin::platform::MenuItem;
using zandorin::platform::MenuItemKind;
using zandorin::platform::MenuModel;
using zandorin::test::runUntil;

QtApplicationHost* host = nullptr;

void deleteDeferred() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(QtMainQueue, PostsFromManyThreadsRunOnTheMainThreadInPostingOrderPerThread) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 400;
    std::vector<std::pair<int, int>> runs;  // (thread, sequence); touched on the main thread only
    std::atomic<int> offMain{0};
    std::atomic<bool> go{false};  // all at once, for as much contention as there can be
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                go.wait(false);
                for (int i = 0; i < kPerThread; ++i) {
                    host->mainQueue().post([&, t, i] {
                        runs.emplace_back(t, i);
                        offMain += host->mainQueue().isMainThread() ? 0 : 1;
                    });
                }
            });
        }
        go = true;
        go.notify_all();
    }
    EXPECT_TRUE(runs.empty()) << "a block ran inline, not on the main thread's loop";
    ASSERT_TRUE(runUntil([&] { return runs.size() == std::size_t{kThreads * kPerThread}; }));
    EXPECT_EQ(offMain, 0);
    std::vector<int> next(kThreads, 0);
    for (const auto& [thread, sequence] : runs) {
        ASSERT_EQ(sequence, next[thread]++) << "thread " << thread;
    }
}

TEST(QtMainQueue, TimerFirstFiresOneIntervalAfterThenRepeats) {
    QElapsedTimer clock;
    std::vector<qint64> firings;
    clock.start();
    auto timer = host->mainQueue().scheduleRepeating(50ms, [&] {
        firings.push_back(clock.elapsed());
        EXPECT_TRUE(host->mainQueue().isMainThread());
    });
    ASSERT_TRUE(runUntil([&] { return firings.size() >= 3; }, 3s));
    EXPECT_GE(firings[0], 49);
    EXPECT_LT(firings[0], 1000);
    EXPECT_GE(firings[2] - firings[0], 90);
}

// Invalidated or destroyed, from outside or from inside its own action (which must not crash).
TEST(QtMainQueue, AStoppedTimerStaysSilent) {
    for (const bool fromAction : {false, true}) {
        for (const bool destroy : {false, true}) {
            SCOPED_TRACE(std::string(fromAction ? "from its action, " : "from outside, ") +
                         (destroy ? "destroyed" : "invalidated"));
            int count = 0;
            std::unique_ptr<zandorin::platform::Timer> timer;
            auto stop = [&] { destroy ? timer.reset() : timer->invalidate(); };
            timer = host->mainQueue().scheduleRepeating(10ms, [&] {
                if (++count == 2 && fromAction) {
                    stop();
                }
            });
            ASSERT_TRUE(runUntil([&] { return count >= 2; }, 3s));
            if (!fromAction) {
                stop();
            }
            const int stoppedAt = count;
            runUntil([] { return false; }, 100ms);
            deleteDeferred();
            EXPECT_EQ(count, stoppedAt);
        }
    }
}

MenuItem item(MenuItemKind kind, std::string title, std::string symbol = "") {
    MenuItem i;
    i.kind = kind;
    i.title = std::move(title);
    i.symbol = std::move(symbol);
    return i;
}

MenuItem command(std::string title, MenuAction action, std::string key = "") {
    MenuItem i = item(MenuItemKind::command, std::move(title));
    i.action = action;
    i.keyEquivalent = std::move(key);
    i.enabled = true;
    return i;
}

MenuModel signedInModel() {
    MenuItem stat = item(MenuItemKind::statRow, "    文件 & 筆記", "doc.text.fill");
    stat.value = "12 & 3";
    const MenuItem separator = item(MenuItemKind::separator, "");
    return {{
        item(MenuItemKind::statusLine, "Mirrowen — ada@example.com", "circle.fill"),
        separator,
        item(MenuItemKind::sectionHeader, "  Tirrel知識庫"),
        stat,
        item(MenuItemKind::infoLine, "    載入中…"),
        separator,
        command("重新連線", MenuAction::reconnect, "r"),
        command("R&D 訂閱", MenuAction::subscribe),
        separator,
        command("結束", MenuAction::quit, "q"),
    }};
}

// One line per row: its text, "(off)" when disabled, the shortcut.
std::vector<std::string> rows(const QMenu& menu) {
    std::vector<std::string> out;
    for (const QAction* action : menu.actions()) {
        if (action->isSeparator()) {
            out.emplace_back("---");
            continue;
        }
        const QString keys = action->shortcut().toString(QKeySequence::PortableText);
        out.push_back(action->text().toStdString() + (action->isEnabled() ? "" : " (off)") +
                      (keys.isEmpty() ? "" : " [" + keys.toStdString() + "]"));
    }
    return out;
}

class QtStatusItemTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The widget menu of an XEmbed tray, whatever desktop the tests run on.
        owned_ = std::make_unique<QtStatusItem>(/*statusNotifierHost=*/false);
        item_ = owned_.get();
        item_->setActionHandler([this](MenuAction action) { actions_.push_back(action); });
        item_->setMenu(signedInModel());
    }

    QAction* row(int index) const { return item_->menuForTesting()->actions().value(index); }

    std::unique_ptr<QtStatusItem> owned_;
    QtStatusItem* item_ = nullptr;
    std::vector<MenuAction> actions_;
};

TEST_F(QtStatusItemTest, OneRowPerItemWithLiteralAmpersandsAndOnlyCommandsReachTheHandler) {
    EXPECT_EQ(rows(*item_->menuForTesting()), (std::vector<std::string>{
                                                  "Mirrowen — ada@example.com (off)",
                                                  "---",
                                                  "  Tirrel知識庫 (off)",
                                                  "    文件 && 筆記\t12 && 3 (off)",
                                                  "    載入中… (off)",
                                                  "---",
                                                  "重新連線 [Ctrl+R]",
                                                  "R&&D 訂閱",
                                                  "---",
                                                  "結束 [Ctrl+Q]",
                                              }));
    for (const int index : {0, 2, 3, 4, 6, 7, 9}) {
        row(index)->trigger();
    }
    EXPECT_EQ(actions_, (std::vector<MenuAction>{MenuAction::reconnect, MenuAction::subscribe,
                                                 MenuAction::quit}));
}

// As sign-out does: the command's own handler replaces every row, the menu stays the same.
TEST_F(QtStatusItemTest, AHandlerMayReplaceTheMenuFromTheCommandThatCalledIt) {
    item_->setActionHandler([this](MenuAction action) {
        actions_.push_back(action);
        item_->setMenu({{item(MenuItemKind::statusLine, "Mirrowen"),
                         command("登入 Kestrune 帳號…", MenuAction::login)}});
    });
    QMenu* menu = item_->menuForTesting();
    const QList<QAction*> before = menu->actions();
    std::vector<QPointer<QAction>> old(before.begin(), before.end());

    row(6)->trigger();
    deleteDeferred();
    EXPECT_EQ(actions_, std::vector<MenuAction>{MenuAction::reconnect});
    EXPECT_EQ(item_->menuForTesting(), menu);
    EXPECT_EQ(rows(*menu), (std::vector<std::string>{"Mirrowen (off)", "登入 Kestrune 帳號…"}));
    for (const auto& action : old) {
        EXPECT_TRUE(action.isNull()) << "an old row outlived its menu";
    }
}

}  // namespace

int main(int argc, char** argv) {
    return zandorin::test::runQtTests(argc, argv, host);
}
