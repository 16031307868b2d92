// The Qt adapters against a real QApplication on the offscreen platform: no display and no
// tray are needed for the queue, the timers, the menu built from a model and alerts.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>

#include "adapters/qt/QtApplicationHost.h"
#include "adapters/qt/QtStatusItem.h"

namespace {

using namespace std::chrono_literals;
using zandorin::adapters::QtApplicationHost;
using zandorin::adapters::QtStatusItem;
using zandorin::platform::Color;
using zandorin::platform::MenuAction;
using zandorin::platform::MenuItem;
using zandorin::platform::MenuItemKind;
using zandorin::platform::MenuModel;
using zandorin::platform::SymbolStyle;

QtApplicationHost* host = nullptr;

// Runs the event loop until `done` or the limit; whether `done` became true.
bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= limit.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

void deleteDeferred() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(QtMainQueue, PostsFromManyThreadsRunOnTheMainThreadInPostingOrderPerThread) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 400;
    struct Run {
        int thread;
        int sequence;
        bool onMainThread;
    };
    std::vector<Run> runs;  // touched by the blocks only, that is on the main thread
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kPerThread; ++i) {
                host->mainQueue().post([&runs, t, i] {
                    runs.push_back({t, i, host->mainQueue().isMainThread()});
                });
            }
        });
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(runs.empty()) << "a block ran inline, not on the main thread's loop";
    ASSERT_TRUE(runUntil([&] { return runs.size() == std::size_t{kThreads * kPerThread}; }));

    std::vector<int> next(kThreads, 0);
    for (const Run& run : runs) {
        EXPECT_TRUE(run.onMainThread);
        ASSERT_EQ(run.sequence, next[run.thread]) << "thread " << run.thread;
        ++next[run.thread];
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

TEST(QtApplicationHost, MissingDisplayNamesWhatIsMissing) {
    // DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM (nullptr: unset), whether a display is missing.
    const std::tuple<const char*, const char*, const char*, bool> cases[] = {
        {":0", nullptr, nullptr, false},
        {nullptr, "wayland-0", nullptr, false},
        {"", "", nullptr, true},
        {nullptr, nullptr, "wayland;xcb", true},
        {nullptr, nullptr, "wayland-egl", true},
        {nullptr, nullptr, "vnc:size=800x600", false},
        {nullptr, nullptr, "wayland;offscreen", false},
    };
    auto put = [](const char* name, const char* value) {
        value ? setenv(name, value, 1) : unsetenv(name);
    };
    for (const auto& [display, wayland, qpa, missing] : cases) {
        put("DISPLAY", display);
        put("WAYLAND_DISPLAY", wayland);
        put("QT_QPA_PLATFORM", qpa);
        const auto expected =
            missing ? std::optional<std::string>(
                          "no graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set")
                    : std::nullopt;
        EXPECT_EQ(QtApplicationHost::missingDisplay(), expected)
            << (display ? display : "-") << " " << (wayland ? wayland : "-") << " "
            << (qpa ? qpa : "-");
    }
    put("QT_QPA_PLATFORM", "offscreen");  // as main() set it
}

// Texts come from the service: markup in them must show as typed.
TEST(QtAlerts, ShowsAWarningWithBothTextsAsPlainTextAndOnlyOk) {
    bool seen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        poll.stop();
        seen = true;
        EXPECT_EQ(box->windowTitle(), QStringLiteral("無法登入 <b>now</b>"));
        EXPECT_EQ(box->text(), QStringLiteral("無法登入 <b>now</b>"));
        EXPECT_EQ(box->informativeText(), QStringLiteral("伺服器回應 <i>403</i> & 更多"));
        EXPECT_EQ(box->textFormat(), Qt::PlainText);
        auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
        EXPECT_TRUE(label && label->textFormat() == Qt::PlainText);
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        EXPECT_TRUE(box->standardButtons() == QMessageBox::Ok && box->buttons().size() == 1);
        box->button(QMessageBox::Ok)->click();
    });
    poll.start(10);
    QTimer guard;  // ends a box the poll did not recognise, instead of hanging
    guard.callOnTimeout([] {
        if (auto* box = QApplication::activeModalWidget()) {
            box->close();
        }
    });
    guard.start(5000);
    host->alerts().runModal({"無法登入 <b>now</b>", "伺服器回應 <i>403</i> & 更多"});
    EXPECT_TRUE(seen);
}

MenuItem item(MenuItemKind kind, std::string title, std::string symbol = "",
              SymbolStyle style = SymbolStyle::plain, std::optional<Color> color = std::nullopt) {
    MenuItem i;
    i.kind = kind;
    i.title = std::move(title);
    i.symbol = std::move(symbol);
    i.symbolStyle = style;
    i.symbolColor = color;
    return i;
}

MenuItem command(std::string title, MenuAction action, std::string key = "",
                 std::string symbol = "") {
    MenuItem i = item(MenuItemKind::command, std::move(title), std::move(symbol));
    i.action = action;
    i.keyEquivalent = std::move(key);
    i.enabled = true;
    return i;
}

MenuItem statRow(std::string label, std::string value, std::string symbol) {
    MenuItem i =
        item(MenuItemKind::statRow, std::move(label), std::move(symbol), SymbolStyle::small);
    i.value = std::move(value);
    i.valueColor = Color::secondaryLabel;
    return i;
}

const MenuItem kSeparator = item(MenuItemKind::separator, "");

MenuModel signedInModel() {
    return {{
        item(MenuItemKind::statusLine, "Mirrowen — ada@example.com", "circle.fill",
             SymbolStyle::palette, Color::systemGreen),
        kSeparator,
        item(MenuItemKind::sectionHeader, "  Tirrel知識庫"),
        statRow("    點數", "1,234", "creditcard.fill"),
        statRow("    文件 & 筆記", "12 & 3", "doc.text.fill"),
        item(MenuItemKind::infoLine, "    載入中…", "no.such.symbol"),
        kSeparator,
        command("重新連線", MenuAction::reconnect, "r"),
        command("R&D 訂閱", MenuAction::subscribe, "", "sparkles"),
        kSeparator,
        command("結束", MenuAction::quit, "q"),
    }};
}

// One line per row: its text, "(off)" when disabled, the shortcut, "+icon".
std::vector<std::string> rows(const QMenu& menu) {
    std::vector<std::string> out;
    for (const QAction* action : menu.actions()) {
        if (action->isSeparator()) {
            out.emplace_back("---");
            continue;
        }
        std::string row = action->text().toStdString();
        row += action->isEnabled() ? "" : " (off)";
        const QString keys = action->shortcut().toString(QKeySequence::PortableText);
        row += keys.isEmpty() ? "" : " [" + keys.toStdString() + "]";
        row += action->icon().isNull() ? "" : " +icon";
        out.push_back(row);
    }
    return out;
}

class QtStatusItemTest : public ::testing::Test {
protected:
    void SetUp() override {
        owned_ = host->statusBar().makeStatusItem();
        item_ = dynamic_cast<QtStatusItem*>(owned_.get());
        ASSERT_NE(item_, nullptr);
        item_->setActionHandler([this](MenuAction action) { actions_.push_back(action); });
    }

    QAction* actionNamed(const QString& text) const {
        for (QAction* action : item_->menuForTesting()->actions()) {
            if (action->text() == text) {
                return action;
            }
        }
        ADD_FAILURE() << "no row " << text.toStdString();
        return nullptr;
    }

    std::unique_ptr<zandorin::platform::StatusItem> owned_;
    QtStatusItem* item_ = nullptr;
    std::vector<MenuAction> actions_;
};

TEST_F(QtStatusItemTest, BuildsOneActionPerRowWithLiteralAmpersandsTabsAndShortcuts) {
    item_->setMenu(signedInModel());
    EXPECT_EQ(rows(*item_->menuForTesting()), (std::vector<std::string>{
                                                  "Mirrowen — ada@example.com (off) +icon",
                                                  "---",
                                                  "  Tirrel知識庫 (off)",
                                                  "    點數\t1,234 (off) +icon",
                                                  "    文件 && 筆記\t12 && 3 (off) +icon",
                                                  "    載入中… (off)",
                                                  "---",
                                                  "重新連線 [Ctrl+R]",
                                                  "R&&D 訂閱 +icon",
                                                  "---",
                                                  "結束 [Ctrl+Q]",
                                              }));
    const QAction* header = actionNamed(QStringLiteral("  Tirrel知識庫"));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->font().weight(), QFont::DemiBold);
    EXPECT_LT(header->font().pointSizeF(), item_->menuForTesting()->font().pointSizeF());
}

TEST_F(QtStatusItemTest, CommandsCallTheHandlerWithTheirActionOthersDoNothing) {
    item_->setMenu(signedInModel());
    for (const auto& [text, action] : std::vector<std::pair<QString, MenuAction>>{
             {QStringLiteral("重新連線"), MenuAction::reconnect},
             {QStringLiteral("R&&D 訂閱"), MenuAction::subscribe},
             {QStringLiteral("結束"), MenuAction::quit}}) {
        actions_.clear();
        actionNamed(text)->trigger();
        EXPECT_EQ(actions_, std::vector<MenuAction>{action}) << text.toStdString();
    }
    actions_.clear();
    actionNamed(QStringLiteral("    載入中…"))->trigger();
    actionNamed(QStringLiteral("Mirrowen — ada@example.com"))->trigger();
    EXPECT_TRUE(actions_.empty());
}

// As sign-out does: the command's own handler replaces every row, the menu stays the same.
TEST_F(QtStatusItemTest, AHandlerMayReplaceTheMenuFromTheCommandThatCalledIt) {
    item_->setActionHandler([this](MenuAction action) {
        actions_.push_back(action);
        item_->setMenu({{item(MenuItemKind::statusLine, "Mirrowen"), kSeparator,
                         command("登入 Kestrune 帳號…", MenuAction::login)}});
    });
    item_->setMenu(signedInModel());
    QMenu* menu = item_->menuForTesting();
    const QList<QAction*> before = menu->actions();
    std::vector<QPointer<QAction>> old(before.begin(), before.end());

    actionNamed(QStringLiteral("重新連線"))->trigger();
    deleteDeferred();
    EXPECT_EQ(actions_, std::vector<MenuAction>{MenuAction::reconnect});
    EXPECT_EQ(item_->menuForTesting(), menu);
    EXPECT_EQ(rows(*menu),
              (std::vector<std::string>{"Mirrowen (off)", "---", "登入 Kestrune 帳號…"}));
    for (const auto& action : old) {
        EXPECT_TRUE(action.isNull()) << "an old row outlived its menu";
    }
}

int opaquePixels(const QImage& image) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            n += image.pixelColor(x, y).alpha() > 128 ? 1 : 0;
        }
    }
    return n;
}

TEST_F(QtStatusItemTest, OurArtworkExistsForEverySymbolAndUnknownNamesGiveNoIcon) {
    for (const char* symbol : {"creditcard.fill", "doc.text.fill", "folder.fill", "sparkles",
                               "newspaper.fill", "circle", "circle.fill"}) {
        item_->setMenu({{command("row", MenuAction::login, "", symbol)}});
        const QIcon icon = item_->menuForTesting()->actions().value(0)->icon();
        ASSERT_FALSE(icon.isNull()) << symbol;
        EXPECT_GT(opaquePixels(icon.pixmap(16).toImage()), 10) << "blank artwork for " << symbol;
    }
    for (const char* symbol : {"nope", "../icons/sparkles", "StatusBarIcon.svg", ""}) {
        item_->setMenu({{command("row", MenuAction::login, "", symbol)}});
        EXPECT_TRUE(item_->menuForTesting()->actions().value(0)->icon().isNull()) << symbol;
    }
}

TEST_F(QtStatusItemTest, StatusDotsKeepTheirColourOnDisabledRows) {
    struct Case {
        const char* symbol;
        Color color;
        QRgb expected;
        bool hollow;
    };
    for (const Case& c : {Case{"circle.fill", Color::systemGreen, 0x30A46C, false},
                          Case{"circle.fill", Color::systemRed, 0xE5484D, false},
                          Case{"circle", Color::systemYellow, 0xF5A524, true}}) {
        SCOPED_TRACE(c.symbol);
        item_->setMenu(
            {{item(MenuItemKind::statusLine, "status", c.symbol, SymbolStyle::palette, c.color)}});
        const QAction* row = item_->menuForTesting()->actions().value(0);
        ASSERT_FALSE(row->isEnabled());
        const QImage image = row->icon().pixmap(16, QIcon::Disabled).toImage();
        ASSERT_FALSE(image.isNull());
        const int middle = image.height() / 2;
        // The most opaque pixel of the middle row: the dot's centre, or the ring's stroke.
        QColor painted = image.pixelColor(0, middle);
        for (int x = 1; x < image.width(); ++x) {
            if (image.pixelColor(x, middle).alpha() > painted.alpha()) {
                painted = image.pixelColor(x, middle);
            }
        }
        EXPECT_EQ(painted.alpha(), 255);
        EXPECT_EQ(painted.rgb() & 0xFFFFFF, c.expected);
        EXPECT_EQ(image.pixelColor(image.width() / 2, middle).alpha(), c.hollow ? 0 : 255);
    }
}

TEST_F(QtStatusItemTest, TheTrayIconShowsOnceItHasBothImageAndMenu) {
    QSystemTrayIcon* tray = item_->trayIconForTesting();
    EXPECT_FALSE(item_->setImage({"NoSuchImage", true, 18, 18}));
    EXPECT_TRUE(tray->icon().isNull());

    EXPECT_TRUE(item_->setImage({"StatusBarIcon", true, 18, 18}));
    EXPECT_TRUE(tray->icon().isMask());
    EXPECT_FALSE(tray->isVisible());

    item_->setMenu(signedInModel());
    EXPECT_TRUE(tray->isVisible());
    EXPECT_EQ(tray->contextMenu(), item_->menuForTesting());

    EXPECT_TRUE(item_->setImage({"StatusBarIcon", false, 18, 18}));
    EXPECT_FALSE(tray->icon().isMask());
}

// Without a StatusNotifierItem host (an XEmbed tray) the widget menu itself pops up.
TEST_F(QtStatusItemTest, APlainClickOnTheIconOpensTheMenu) {
    item_->setImage({"StatusBarIcon", true, 18, 18});
    item_->setMenu(signedInModel());
    QMenu* menu = item_->menuForTesting();

    emit item_->trayIconForTesting()->activated(QSystemTrayIcon::Context);
    EXPECT_FALSE(menu->isVisible());  // the tray itself shows the context menu
    emit item_->trayIconForTesting()->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(runUntil([&] { return menu->isVisible(); }, 2s));
    menu->hide();
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QtApplicationHost app(argc, argv);
    host = &app;
    return RUN_ALL_TESTS();
}
