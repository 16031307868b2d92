// The Qt adapters against a real QApplication on the offscreen platform: the main queue's
// timers, which fire too rarely for the end-to-end tests, and the widget menu of an XEmbed
// tray, which they never reach.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
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
using zandorin::platform::MenuAction;
using zandorin::platform::MenuItem;
using zandorin::platform::MenuItemKind;
using zandorin::test::runUntil;

QtApplicationHost* host = nullptr;

// First one interval after scheduling, then again; once invalidated or destroyed, from outside
// or from inside its own action (which must not crash), silent.
TEST(QtMainQueue, ATimerRepeatsAfterItsIntervalUntilStopped) {
    for (const bool fromAction : {false, true}) {
        for (const bool destroy : {false, true}) {
            SCOPED_TRACE(std::string(fromAction ? "from its action, " : "from outside, ") +
                         (destroy ? "destroyed" : "invalidated"));
            std::vector<qint64> firings;
            QElapsedTimer clock;
            clock.start();
            std::unique_ptr<zandorin::platform::Timer> timer;
            auto stop = [&] { destroy ? timer.reset() : timer->invalidate(); };
            timer = host->mainQueue().scheduleRepeating(30ms, [&] {
                firings.push_back(clock.elapsed());
                if (firings.size() == 2 && fromAction) {
                    stop();
                }
            });
            ASSERT_TRUE(runUntil([&] { return firings.size() >= 2; }, 3s));
            if (!fromAction) {
                stop();
            }
            EXPECT_GE(firings[0], 25);
            EXPECT_GE(firings[1] - firings[0], 20);
            const auto stoppedAt = firings.size();
            runUntil([] { return false; }, 100ms);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            EXPECT_EQ(firings.size(), stoppedAt);
        }
    }
}

MenuItem item(MenuItemKind kind, std::string title, std::optional<MenuAction> action = {},
              std::string key = "") {
    MenuItem i;
    i.kind = kind;
    i.title = std::move(title);
    i.action = action;
    i.keyEquivalent = std::move(key);
    i.enabled = action.has_value();
    return i;
}

// One line per row: its text, "(off)" when disabled, the shortcut.
std::vector<std::string> rows(const QMenu& menu) {
    std::vector<std::string> out;
    for (const QAction* action : menu.actions()) {
        const QString keys = action->shortcut().toString(QKeySequence::PortableText);
        out.push_back(action->isSeparator()
                          ? "---"
                          : action->text().toStdString() + (action->isEnabled() ? "" : " (off)") +
                                (keys.isEmpty() ? "" : " [" + keys.toStdString() + "]"));
    }
    return out;
}

// As sign-out does, the command's own handler replaces every row; the menu stays the same.
TEST(QtStatusItem, TheWidgetMenuShowsTextsLiterallyAndSurvivesAHandlerThatReplacesIt) {
    zandorin::adapters::QtStatusItem status(/*statusNotifierHost=*/false);
    MenuItem stat = item(MenuItemKind::statRow, "    文件 & 筆記");
    stat.value = "12 & 3";
    status.setMenu({{item(MenuItemKind::statusLine, "Mirrowen — ada@example.com"),
                     item(MenuItemKind::separator, ""), stat,
                     item(MenuItemKind::sectionHeader, "  Tirrel知識庫"),
                     item(MenuItemKind::command, "R&D 訂閱", MenuAction::subscribe),
                     item(MenuItemKind::command, "結束", MenuAction::quit, "q")}});
    QMenu* menu = status.menuForTesting();
    EXPECT_EQ(rows(*menu),
              (std::vector<std::string>{"Mirrowen — ada@example.com (off)", "---",
                                        "    文件 && 筆記\t12 && 3 (off)", "  Tirrel知識庫 (off)",
                                        "R&&D 訂閱", "結束 [Ctrl+Q]"}));

    std::vector<MenuAction> actions;
    status.setActionHandler([&](MenuAction action) {
        actions.push_back(action);
        status.setMenu({{item(MenuItemKind::command, "登入 Kestrune 帳號…", MenuAction::login)}});
    });
    const QList<QAction*> before = menu->actions();
    std::vector<QPointer<QAction>> old(before.begin(), before.end());
    for (const int index : {0, 2, 3}) {
        before[index]->trigger();
    }
    before[4]->trigger();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(actions, std::vector<MenuAction>{MenuAction::subscribe});
    EXPECT_EQ(status.menuForTesting(), menu);
    EXPECT_EQ(rows(*menu), std::vector<std::string>{"登入 Kestrune 帳號…"});
    for (const auto& action : old) {
        EXPECT_TRUE(action.isNull()) << "an old row outlived its menu";
    }
}

}  // namespace

int main(int argc, char** argv) {
    return zandorin::test::runQtTests(argc, argv, host);
}
