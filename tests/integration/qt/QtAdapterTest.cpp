// The Qt adapters against a real QApplication on the offscreen platform, where the end-to-end
// tests do not reach: timers (theirs fire once a minute at most), the widget menu of an XEmbed
// tray, sign-in sessions beside the one good callback, the single-instance directory, and the
// system bus's resume and network signals.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QMenu>
#include <QPointer>

#include "adapters/dbus/SystemBusEvents.h"
#include "adapters/qt/QtApplicationHost.h"
#include "adapters/qt/QtInstanceChannel.h"
#include "adapters/qt/QtMainQueue.h"
#include "adapters/qt/QtWebAuthSession.h"
#include "adapters/tray/XEmbedStatusItem.h"

namespace {

using namespace std::chrono_literals;
using zandorin::platform::MenuAction;
using zandorin::platform::MenuItem;
using zandorin::platform::MenuItemKind;
namespace fs = std::filesystem;

zandorin::adapters::QtApplicationHost* host = nullptr;

// Runs the event loop until `done` or the limit; whether `done` became true.
bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < limit.count()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

// First one interval after scheduling, then again; once invalidated or destroyed, even from
// inside its own action (the hard case: it must not crash), silent.
TEST(QtMainQueue, ATimerRepeatsAfterItsIntervalUntilStopped) {
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "invalidated");
        std::vector<qint64> firings;
        QElapsedTimer clock;
        clock.start();
        std::unique_ptr<zandorin::platform::Timer> timer;
        timer = host->mainQueue().scheduleRepeating(30ms, [&] {
            firings.push_back(clock.elapsed());
            if (firings.size() == 2) {
                destroy ? timer.reset() : timer->invalidate();
            }
        });
        ASSERT_TRUE(runUntil([&] { return firings.size() >= 2; }, 3s));
        EXPECT_GE(firings[0], 25);
        runUntil([] { return false; }, 100ms);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(firings.size(), 2u);
    }
}

// Each thread's posts run in order on the main thread; once closed, none that was queued or
// comes later. (Not under ThreadSanitizer: Qt is not instrumented there, so all looks racy.)
TEST(QtMainQueue, EachThreadsPostsRunInOrderOnTheMainThreadUntilClosed) {
    zandorin::adapters::QtMainQueue queue;
    std::vector<std::vector<int>> seen(4);
    {
        std::vector<std::jthread> threads;
        for (std::size_t t = 0; t < seen.size(); ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 300; ++i) {
                    queue.post([&, t, i] { seen[t].push_back(queue.isMainThread() ? i : -1); });
                }
            });
        }
    }
    ASSERT_TRUE(runUntil(
        [&] { return std::ranges::all_of(seen, [](auto& s) { return s.size() == 300; }); }));
    for (const auto& posts : seen) {
        EXPECT_TRUE(std::ranges::is_sorted(posts) && posts.front() == 0);
    }
    queue.post([&seen] { seen.emplace_back(); });
    queue.close();
    queue.post([&seen] { seen.emplace_back(); });
    runUntil([] { return false; }, 50ms);
    EXPECT_EQ(seen.size(), 4U);
}

MenuItem item(MenuItemKind kind, std::string title, std::optional<MenuAction> action = {},
              std::string key = "") {
    MenuItem i;
    i.kind = kind;
    i.title = std::move(title);
    i.action = action;
    i.keyEquivalent = std::move(key);
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
TEST(XEmbedStatusItem, TheWidgetMenuShowsTextsLiterallyAndSurvivesAHandlerThatReplacesIt) {
    zandorin::adapters::XEmbedStatusItem status;
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
    for (const int index : {0, 2, 3, 4}) {
        before[index]->trigger();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(actions, std::vector<MenuAction>{MenuAction::subscribe});
    EXPECT_EQ(status.menuForTesting(), menu);
    EXPECT_EQ(rows(*menu), std::vector<std::string>{"登入 Kestrune 帳號…"});
    for (const auto& action : old) {
        EXPECT_TRUE(action.isNull()) << "an old row outlived its menu";
    }
}

// Each outcome as "<name>: url <url>" or "<name>: error <text>", "!" added when not on the
// main thread.
class SessionTest : public ::testing::Test {
protected:
    std::unique_ptr<zandorin::platform::WebAuthSession> start(const std::string& name) {
        auto session = factory.makeSession(
            "https://idp.example/authorize", "zandorin-auth",
            [this, name](const std::optional<std::string>& url,
                         const std::optional<zandorin::platform::WebAuthError>& error) {
                outcomes.push_back(
                    name + (url ? ": url " + *url : ": error " + error->localizedDescription) +
                    (host->mainQueue().isMainThread() ? "" : "!"));
            });
        EXPECT_EQ(session->start(), browserWorks);
        EXPECT_FALSE(session->start()) << "a session starts once";
        return session;
    }

    bool browserWorks = true;
    std::vector<std::string> outcomes;
    zandorin::adapters::QtWebAuthSessionFactory factory{
        host->mainQueue(), [this](const std::string& /*url*/) { return browserWorks; }};
};

// A browser that cannot be opened fails the session once, never from inside start().
TEST_F(SessionTest, OnlyACallbackUrlOrABrowserFailureEndsTheLiveSessionOnceAndUnchanged) {
    const std::string good = "ZANDORIN-Auth://callback?code=abc";
    const std::string denied = "zandorin-auth:callback?error=access_denied";
    for (const auto& [url, browser, expected] :
         std::vector<std::tuple<std::string, bool, std::vector<std::string>>>{
             {good, true, {"live: url " + good}},
             {denied, true, {"live: url " + denied}},
             {"zandorin-authx://callback?code=abc", true, {}},
             {" zandorin-auth://callback", true, {}},
             {"https://idp.example/callback?code=abc", true, {}},
             {good, false, {"live: error could not open the web browser"}}}) {
        SCOPED_TRACE(url);
        outcomes.clear();
        browserWorks = browser;
        auto live = start("live");
        auto dropped = start("dropped");  // a newer sign-in given up before its URL came
        dropped.reset();
        EXPECT_TRUE(outcomes.empty());
        EXPECT_EQ(factory.deliver(url), browser && !expected.empty());
        EXPECT_FALSE(factory.deliver(url + "2"));
        runUntil([] { return false; }, 50ms);
        EXPECT_EQ(outcomes, expected);
    }
}

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(InstanceDirectory, APrivateRuntimeDirectoryOrElseAFallbackThatIsOursAlone) {
    char pattern[] = "/tmp/zandorin-instance-XXXXXX";
    const fs::path root = ::mkdtemp(pattern);
    const fs::path runtime = root / "runtime";
    const fs::path loose = root / "loose";
    fs::create_directory(runtime);
    fs::create_directory(loose);
    fs::permissions(runtime, fs::perms::owner_all);
    fs::permissions(loose, fs::perms::all);
    const fs::path fallback = root / ("zandorin-auth-" + std::to_string(::getuid()));
    auto resolve = [&](const char* runtimeDir) {
        return zandorin::adapters::resolveInstanceDirectory(runtimeDir, root.string(), ::getuid());
    };

    EXPECT_EQ(resolve(runtime.c_str()).path, (runtime / "zandorin-auth").string());
    EXPECT_EQ(modeOf(runtime / "zandorin-auth"), 0700U);
    for (const char* unfit : {static_cast<const char*>(nullptr), "", "relative", loose.c_str(),
                              (root / "missing").c_str()}) {
        EXPECT_EQ(resolve(unfit).path, fallback.string()) << (unfit ? unfit : "(unset)");
        EXPECT_EQ(modeOf(fallback), 0700U);
    }

    std::vector<std::pair<std::function<void()>, std::string>> refused = {
        {[&] { fs::create_directory_symlink(runtime, fallback); }, "is a symbolic link"},
        {[&] { std::fclose(std::fopen(fallback.c_str(), "w")); }, "is not a directory"},
        {[&] {
             fs::create_directory(fallback);
             fs::permissions(fallback, fs::perms::all);
         },
         "is open to other users (mode 0777)"},
    };
    if (::getuid() == 0) {
        refused.emplace_back(
            [&] {
                fs::create_directory(fallback);
                ASSERT_EQ(::chown(fallback.c_str(), 65534, 65534), 0);
            },
            "belongs to user 65534");
    }
    for (const auto& [make, problem] : refused) {
        fs::remove_all(fallback);
        make();
        const auto found = resolve(nullptr);
        EXPECT_FALSE(found.path) << problem;
        EXPECT_EQ(found.problem, fallback.string() + " " + problem);
    }
    fs::remove_all(root);
}

// Fakes of logind and NetworkManager on the private system bus of `session.py --run
// --system-bus`, plus an impostor that owns neither name. Each step ends with a wake from the
// real owner: once that arrived, everything sent before it was handled.
TEST(SystemBusEvents, OnlyAWakeAndTheStepUpToGlobalConnectivityFromTheNamesOwnersCount) {
    using zandorin::platform::SystemEvent;
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (!address) {
        GTEST_SKIP() << "needs the private system bus of session.py --run --system-bus";
    }
    QDBusConnection owner = QDBusConnection::connectToBus(address, "owner");
    QDBusConnection impostor = QDBusConnection::connectToBus(address, "impostor");
    ASSERT_TRUE(owner.registerService("org.freedesktop.login1"));
    ASSERT_TRUE(owner.registerService("org.freedesktop.NetworkManager"));
    zandorin::adapters::SystemBusEvents events;
    std::vector<std::string> seen;
    events.setHandler([&](SystemEvent event) {
        EXPECT_TRUE(host->mainQueue().isMainThread());
        seen.emplace_back(event == SystemEvent::wokeFromSleep ? "woke" : "returned");
    });

    const auto sleep = [](bool going) {
        return QDBusMessage::createSignal("/org/freedesktop/login1",
                                          "org.freedesktop.login1.Manager", "PrepareForSleep")
               << going;
    };
    const auto network = [](uint state) {
        return QDBusMessage::createSignal("/org/freedesktop/NetworkManager",
                                          "org.freedesktop.NetworkManager", "StateChanged")
               << state;
    };
    // The bus routes a connection's messages in order, so after its answer to a call the
    // signal is on its way before anything another connection sends next.
    const auto send = [](QDBusConnection& from, const QDBusMessage& message) {
        from.send(message);
        from.call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                 "org.freedesktop.DBus", "GetId"));
    };
    const auto expectHandled = [&](std::vector<std::string> expected) {
        send(owner, sleep(false));
        expected.emplace_back("woke");
        EXPECT_TRUE(runUntil([&] { return seen.size() >= expected.size(); }));
        EXPECT_EQ(std::exchange(seen, {}), expected);
    };
    // The adapter connects beside the main thread and misses what comes before. The first
    // state it hears counts (a state is announced when it changed), the repeats do not.
    for (int i = 0; i < 100 && seen.empty(); ++i) {
        send(owner, network(70));
        runUntil([&] { return !seen.empty(); }, 50ms);
    }
    expectHandled({"returned"});

    using Sent = std::vector<std::pair<QDBusConnection*, QDBusMessage>>;
    for (const auto& [what, sent, expected] :
         std::vector<std::tuple<const char*, Sent, std::vector<std::string>>>{
             {"going to sleep", {{&owner, sleep(true)}}, {}},
             {"70 again", {{&owner, network(70)}}, {}},
             {"disconnected, then global",
              {{&owner, network(20)}, {&owner, network(70)}},
              {"returned"}},
             {"local, then site", {{&owner, network(50)}, {&owner, network(60)}}, {}},
             {"site, then global", {{&owner, network(70)}}, {"returned"}},
             {"from the impostor",
              {{&owner, network(20)}, {&impostor, sleep(false)}, {&impostor, network(70)}},
              {}},
         }) {
        SCOPED_TRACE(what);
        for (const auto& [from, message] : sent) {
            send(*from, message);
        }
        expectHandled(expected);
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    zandorin::adapters::QtApplicationHost app(argc, argv);
    host = &app;
    const int status = RUN_ALL_TESTS();
    host = nullptr;
    return status;
}
