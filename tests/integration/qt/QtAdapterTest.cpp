// The Qt adapters against a real QApplication on the offscreen platform: no display and no
// tray are needed for the queue, the timers, the menu built from a model, alerts and URLs.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include "adapters/qt/QtApplicationHost.h"
#include "adapters/qt/QtMainQueue.h"
#include "adapters/qt/QtStatusItem.h"

namespace {

using namespace std::chrono_literals;
using zandorin::adapters::QtApplicationHost;
using zandorin::adapters::QtMainQueue;
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

void runFor(std::chrono::milliseconds span) {
    runUntil([] { return false; }, span);
}

void deleteDeferred() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// ---------------------------------------------------------------------------------------------
// Main queue and timers

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
            EXPECT_FALSE(host->mainQueue().isMainThread());
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

TEST(QtMainQueue, InvalidatingOrDestroyingTheHandleStopsTheTimer) {
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "invalidated");
        int count = 0;
        auto timer = host->mainQueue().scheduleRepeating(20ms, [&] { ++count; });
        ASSERT_TRUE(runUntil([&] { return count >= 2; }, 3s));
        if (destroy) {
            timer.reset();
        } else {
            timer->invalidate();
        }
        const int stoppedAt = count;
        runFor(150ms);
        EXPECT_EQ(count, stoppedAt);
        if (timer) {
            timer->invalidate();  // twice is harmless
        }
    }
}

TEST(QtMainQueue, TheActionMayStopItsOwnTimer) {
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "invalidated");
        int count = 0;
        std::unique_ptr<zandorin::platform::Timer> timer;
        timer = host->mainQueue().scheduleRepeating(10ms, [&] {
            ++count;
            if (destroy) {
                timer.reset();
            } else {
                timer->invalidate();
            }
        });
        ASSERT_TRUE(runUntil([&] { return count >= 1; }, 3s));
        runFor(100ms);
        deleteDeferred();
        EXPECT_EQ(count, 1);
    }
}

TEST(QtMainQueue, AGoneQueueDropsItsBlocksAndLeavesTimerHandlesHarmless) {
    bool ran = false;
    int fired = 0;
    std::unique_ptr<zandorin::platform::Timer> timer;
    {
        QtMainQueue queue;
        queue.post([&] { ran = true; });
        timer = queue.scheduleRepeating(10ms, [&] { ++fired; });
    }
    runFor(80ms);
    EXPECT_FALSE(ran);
    EXPECT_EQ(fired, 0);
    timer->invalidate();
    timer.reset();
}

// ---------------------------------------------------------------------------------------------
// Host

TEST(QtApplicationHost, LaunchBlocksRunInsideExecAndTerminateEndsItWithStatusZero) {
    std::vector<std::string> events;
    host->whenLaunched([&] { events.push_back("launched"); });
    host->mainQueue().post([&] { events.push_back("posted before"); });

    // Out of patience on a platform without a tray; the launch block waits for exec().
    QElapsedTimer clock;
    clock.start();
    const auto missing = host->waitForSystemTray(300ms);
    EXPECT_GE(clock.elapsed(), 290);
    EXPECT_LT(clock.elapsed(), 3000);
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(*missing,
              "no system tray: the desktop offers neither a StatusNotifierItem host "
              "(org.kde.StatusNotifierWatcher) nor an XEmbed tray");
    EXPECT_EQ(events, std::vector<std::string>{"posted before"});

    host->whenLaunched([&] {
        events.push_back("second");
        host->application().terminate();
    });
    // Should terminate() fail to end the loop, this ends the test instead of hanging it.
    QTimer guard;
    guard.callOnTimeout([] { QCoreApplication::exit(99); });
    guard.start(5000);
    EXPECT_EQ(host->exec(), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"posted before", "launched", "second"}));
}

TEST(QtApplicationHost, TerminateBeforeTheEventLoopRunsEndsExecAtOnce) {
    bool launched = false;
    host->whenLaunched([&] { launched = true; });
    host->application().terminate();
    QTimer guard;
    guard.callOnTimeout([] { QCoreApplication::exit(99); });
    guard.start(5000);
    EXPECT_EQ(host->exec(), 0);
    EXPECT_FALSE(launched);
}

TEST(QtApplicationHost, MissingDisplayNamesWhatIsMissing) {
    const std::string noSession =
        "no graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set";
    struct Case {
        const char* display;
        const char* wayland;
        const char* platform;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {":0", nullptr, nullptr, std::nullopt},
        {nullptr, "wayland-0", nullptr, std::nullopt},
        {nullptr, nullptr, nullptr, noSession},
        {"", "", nullptr, noSession},
        {nullptr, nullptr, "xcb", noSession},
        {nullptr, nullptr, "wayland;xcb", noSession},
        {nullptr, nullptr, "wayland-egl", noSession},
        {nullptr, nullptr, "offscreen", std::nullopt},
        {nullptr, nullptr, "vnc:size=800x600", std::nullopt},
        {nullptr, nullptr, "wayland;offscreen", std::nullopt},
    };
    std::map<std::string, std::optional<std::string>> saved;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        saved[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
    auto put = [](const char* name, const char* value) {
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    };
    for (const Case& c : cases) {
        put("DISPLAY", c.display);
        put("WAYLAND_DISPLAY", c.wayland);
        put("QT_QPA_PLATFORM", c.platform);
        EXPECT_EQ(QtApplicationHost::missingDisplay(), c.expected)
            << "DISPLAY=" << (c.display ? c.display : "(unset)")
            << " WAYLAND_DISPLAY=" << (c.wayland ? c.wayland : "(unset)")
            << " QT_QPA_PLATFORM=" << (c.platform ? c.platform : "(unset)");
    }
    for (const auto& [name, value] : saved) {
        put(name.c_str(), value ? value->c_str() : nullptr);
    }
}

TEST(QtAlerts, ShowsAWarningWithBothTextsAsPlainTextAndOnlyOk) {
    struct Seen {
        QString title, text, informative;
        Qt::TextFormat format = Qt::AutoText, informativeFormat = Qt::AutoText;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        int buttons = 0;
        bool okOnly = false;
    };
    std::optional<Seen> seen;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            if (clock.elapsed() > 5000) {
                poll.stop();  // exec() never showed a box; the expectations below fail
            }
            return;
        }
        poll.stop();
        Seen s;
        s.title = box->windowTitle();
        s.text = box->text();
        s.informative = box->informativeText();
        s.format = box->textFormat();
        if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
            s.informativeFormat = label->textFormat();
        }
        s.icon = box->icon();
        s.buttons = static_cast<int>(box->buttons().size());
        s.okOnly = box->standardButtons() == QMessageBox::Ok;
        seen = s;
        box->button(QMessageBox::Ok)->click();
    });
    poll.start(10);
    host->alerts().runModal({"無法登入 <b>now</b>", "伺服器回應 <i>403</i> & 更多"});
    poll.stop();

    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->title, QStringLiteral("無法登入 <b>now</b>"));
    EXPECT_EQ(seen->text, QStringLiteral("無法登入 <b>now</b>"));
    EXPECT_EQ(seen->informative, QStringLiteral("伺服器回應 <i>403</i> & 更多"));
    EXPECT_EQ(seen->format, Qt::PlainText);
    EXPECT_EQ(seen->informativeFormat, Qt::PlainText);
    EXPECT_EQ(seen->icon, QMessageBox::Warning);
    EXPECT_EQ(seen->buttons, 1);
    EXPECT_TRUE(seen->okOnly);
}

class UrlSink : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.append(url); }
};

TEST(QtWorkspace, OpensWellFormedUrlsAndRefusesTheRest) {
    UrlSink sink;
    QDesktopServices::setUrlHandler(QStringLiteral("zandorin-test"), &sink, "open");
    struct Case {
        const char* url;
        bool opens;
    };
    const std::vector<Case> cases = {
        {"zandorin-test://callback/path?state=abc&x=%20y", true},
        {"zandorin-test:opaque", true},
        {"zandorin-test://callback/bad%zzescape", false},
        {"zandorin-test://exa mple/", false},
        {"relative/path", false},
        {"", false},
    };
    for (const Case& c : cases) {
        sink.opened.clear();
        EXPECT_EQ(host->workspace().open(c.url), c.opens) << c.url;
        if (c.opens) {
            ASSERT_EQ(sink.opened.size(), 1) << c.url;
            EXPECT_EQ(sink.opened.front().toString(QUrl::FullyEncoded).toStdString(), c.url);
        } else {
            EXPECT_TRUE(sink.opened.isEmpty()) << c.url;
        }
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("zandorin-test"));
}

// ---------------------------------------------------------------------------------------------
// Status item: model to QMenu

MenuItem item(MenuItemKind kind, std::string title) {
    MenuItem i;
    i.kind = kind;
    i.title = std::move(title);
    return i;
}

MenuItem separator() {
    return item(MenuItemKind::separator, "");
}

MenuItem command(std::string title, MenuAction action, std::string key = "") {
    MenuItem i = item(MenuItemKind::command, std::move(title));
    i.action = action;
    i.keyEquivalent = std::move(key);
    i.enabled = true;
    return i;
}

MenuItem withSymbol(MenuItem i, std::string symbol, SymbolStyle style = SymbolStyle::plain,
                    std::optional<Color> color = std::nullopt) {
    i.symbol = std::move(symbol);
    i.symbolStyle = style;
    i.symbolColor = color;
    return i;
}

MenuItem statRow(std::string label, std::string value, std::string symbol) {
    MenuItem i = withSymbol(item(MenuItemKind::statRow, std::move(label)), std::move(symbol),
                            SymbolStyle::small);
    i.value = std::move(value);
    i.valueColor = Color::secondaryLabel;
    return i;
}

MenuModel signedInModel() {
    return {{
        withSymbol(item(MenuItemKind::statusLine, "Mirrowen — ada@example.com"), "circle.fill",
                   SymbolStyle::palette, Color::systemGreen),
        separator(),
        item(MenuItemKind::sectionHeader, "  Tirrel知識庫"),
        statRow("    點數", "1,234", "creditcard.fill"),
        statRow("    文件 & 筆記", "12 & 3", "doc.text.fill"),
        withSymbol(item(MenuItemKind::infoLine, "    載入中…"), "no.such.symbol"),
        separator(),
        command("重新連線", MenuAction::reconnect, "r"),
        withSymbol(command("R&D 訂閱", MenuAction::subscribe), "sparkles"),
        separator(),
        command("結束", MenuAction::quit, "q"),
    }};
}

struct Row {
    std::string text;
    bool enabled;
    bool separator;
    std::string shortcut;
    bool hasIcon;

    bool operator==(const Row&) const = default;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << "{\"" << row.text << "\", " << (row.enabled ? "enabled" : "disabled")
        << (row.separator ? ", separator" : "") << ", shortcut \"" << row.shortcut << "\""
        << (row.hasIcon ? ", icon" : "") << "}";
}

std::vector<Row> rows(const QMenu& menu) {
    std::vector<Row> out;
    for (const QAction* action : menu.actions()) {
        out.push_back({action->text().toStdString(), action->isEnabled(), action->isSeparator(),
                       action->shortcut().toString(QKeySequence::PortableText).toStdString(),
                       !action->icon().isNull()});
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
        return nullptr;
    }

    std::unique_ptr<zandorin::platform::StatusItem> owned_;
    QtStatusItem* item_ = nullptr;
    std::vector<MenuAction> actions_;
};

TEST_F(QtStatusItemTest, BuildsOneActionPerRowWithLiteralAmpersandsTabsAndShortcuts) {
    item_->setMenu(signedInModel());
    const std::vector<Row> expected = {
        {"Mirrowen — ada@example.com", false, false, "", true},
        {"", true, true, "", false},
        {"  Tirrel知識庫", false, false, "", false},
        {"    點數\t1,234", false, false, "", true},
        {"    文件 && 筆記\t12 && 3", false, false, "", true},
        {"    載入中…", false, false, "", false},
        {"", true, true, "", false},
        {"重新連線", true, false, "Ctrl+R", false},
        {"R&&D 訂閱", true, false, "", true},
        {"", true, true, "", false},
        {"結束", true, false, "Ctrl+Q", false},
    };
    EXPECT_EQ(rows(*item_->menuForTesting()), expected);

    const QAction* header = actionNamed(QStringLiteral("  Tirrel知識庫"));
    ASSERT_NE(header, nullptr);
    const QFont menuFont = item_->menuForTesting()->font();
    EXPECT_EQ(header->font().weight(), QFont::DemiBold);
    EXPECT_LT(header->font().pointSizeF(), menuFont.pointSizeF());
}

TEST_F(QtStatusItemTest, CommandsCallTheHandlerWithTheirActionOthersDoNothing) {
    item_->setMenu(signedInModel());
    for (const auto& [text, action] : std::vector<std::pair<QString, MenuAction>>{
             {QStringLiteral("重新連線"), MenuAction::reconnect},
             {QStringLiteral("R&&D 訂閱"), MenuAction::subscribe},
             {QStringLiteral("結束"), MenuAction::quit}}) {
        actions_.clear();
        QAction* entry = actionNamed(text);
        ASSERT_NE(entry, nullptr) << text.toStdString();
        entry->trigger();
        EXPECT_EQ(actions_, std::vector<MenuAction>{action}) << text.toStdString();
    }
    actions_.clear();
    actionNamed(QStringLiteral("    載入中…"))->trigger();
    actionNamed(QStringLiteral("Mirrowen — ada@example.com"))->trigger();
    EXPECT_TRUE(actions_.empty());
}

TEST_F(QtStatusItemTest, ANewModelReplacesEveryRowInTheSameMenu) {
    item_->setMenu(signedInModel());
    QMenu* menu = item_->menuForTesting();
    std::vector<QPointer<QAction>> old;
    for (QAction* action : menu->actions()) {
        old.emplace_back(action);
    }

    item_->setMenu({{item(MenuItemKind::statusLine, "Mirrowen"), separator(),
                     command("登入 Kestrune 帳號…", MenuAction::login), separator(),
                     command("結束", MenuAction::quit, "q")}});

    EXPECT_EQ(item_->menuForTesting(), menu);
    const std::vector<Row> expected = {
        {"Mirrowen", false, false, "", false},           {"", true, true, "", false},
        {"登入 Kestrune 帳號…", true, false, "", false}, {"", true, true, "", false},
        {"結束", true, false, "Ctrl+Q", false},
    };
    EXPECT_EQ(rows(*menu), expected);
    deleteDeferred();
    for (const auto& action : old) {
        EXPECT_TRUE(action.isNull()) << "an old row outlived its menu";
    }
}

TEST_F(QtStatusItemTest, AHandlerMayRebuildTheMenuFromTheCommandThatCalledIt) {
    item_->setActionHandler([this](MenuAction action) {
        actions_.push_back(action);
        item_->setMenu({{command("登入 Kestrune 帳號…", MenuAction::login)}});
    });
    item_->setMenu({{command("登出", MenuAction::logout)}});
    actionNamed(QStringLiteral("登出"))->trigger();
    deleteDeferred();
    EXPECT_EQ(actions_, std::vector<MenuAction>{MenuAction::logout});
    EXPECT_EQ(rows(*item_->menuForTesting()),
              (std::vector<Row>{{"登入 Kestrune 帳號…", true, false, "", false}}));
}

TEST_F(QtStatusItemTest, StatusDotsKeepTheirColourOnDisabledRows) {
    struct Case {
        const char* symbol;
        Color color;
        QRgb expected;
        bool hollow;
    };
    for (const Case& c : std::vector<Case>{{"circle.fill", Color::systemGreen, 0x30A46C, false},
                                           {"circle.fill", Color::systemRed, 0xE5484D, false},
                                           {"circle", Color::systemYellow, 0xF5A524, true}}) {
        SCOPED_TRACE(c.symbol);
        item_->setMenu({{withSymbol(item(MenuItemKind::statusLine, "status"), c.symbol,
                                    SymbolStyle::palette, c.color)}});
        const QAction* row = item_->menuForTesting()->actions().value(0);
        ASSERT_NE(row, nullptr);
        ASSERT_FALSE(row->isEnabled());
        const QImage image = row->icon().pixmap(16, QIcon::Disabled).toImage();
        ASSERT_FALSE(image.isNull());
        const QColor centre = image.pixelColor(image.width() / 2, image.height() / 2);
        // The most opaque pixel of the middle row: the dot's centre, or where the ring's
        // stroke crosses that row.
        QColor painted = centre;
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, image.height() / 2);
            if (pixel.alpha() > painted.alpha()) {
                painted = pixel;
            }
        }
        EXPECT_EQ(painted.alpha(), 255);
        EXPECT_EQ(painted.rgb() & 0xFFFFFF, c.expected);
        EXPECT_EQ(centre.alpha(), c.hollow ? 0 : 255);
    }
}

TEST_F(QtStatusItemTest, OurArtworkExistsForEverySymbolAndUnknownNamesGiveNoIcon) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"creditcard.fill", true},
        {"doc.text.fill", true},
        {"folder.fill", true},
        {"sparkles", true},
        {"newspaper.fill", true},
        {"circle", true},
        {"circle.fill", true},
        {"nope", false},
        {"../icons/sparkles", false},
        {"StatusBarIcon.svg", false},
        {"", false},
    };
    for (const auto& [symbol, known] : cases) {
        SCOPED_TRACE(symbol);
        item_->setMenu({{withSymbol(command("row", MenuAction::login), symbol)}});
        const QIcon icon = item_->menuForTesting()->actions().value(0)->icon();
        ASSERT_EQ(!icon.isNull(), known);
        if (!known) {
            continue;
        }
        const QImage image = icon.pixmap(16).toImage();
        const int opaque = [&] {
            int n = 0;
            for (int y = 0; y < image.height(); ++y) {
                for (int x = 0; x < image.width(); ++x) {
                    n += image.pixelColor(x, y).alpha() > 128 ? 1 : 0;
                }
            }
            return n;
        }();
        EXPECT_GT(opaque, 10) << "blank artwork";
    }
}

TEST_F(QtStatusItemTest, TheTrayIconShowsOnceItHasBothImageAndMenu) {
    QSystemTrayIcon* tray = item_->trayIconForTesting();
    EXPECT_TRUE(item_->hasButton());
    EXPECT_FALSE(item_->setImage({"NoSuchImage", true, 18, 18}));
    EXPECT_TRUE(tray->icon().isNull());

    EXPECT_TRUE(item_->setImage({"StatusBarIcon", true, 18, 18}));
    EXPECT_FALSE(tray->icon().isNull());
    EXPECT_TRUE(tray->icon().isMask());
    EXPECT_FALSE(tray->isVisible());

    item_->setMenu(signedInModel());
    EXPECT_TRUE(tray->isVisible());
    EXPECT_EQ(tray->contextMenu(), item_->menuForTesting());

    EXPECT_TRUE(item_->setImage({"StatusBarIcon", false, 18, 18}));
    EXPECT_FALSE(tray->icon().isMask());
}

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
    // Nothing here needs a display or a tray.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QtApplicationHost app(argc, argv);
    host = &app;
    return RUN_ALL_TESTS();
}

#include "QtAdapterTest.moc"
