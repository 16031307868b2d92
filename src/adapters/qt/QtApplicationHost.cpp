#include "adapters/qt/QtApplicationHost.h"

#include <fontconfig/fontconfig.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QSessionManager>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include "adapters/qt/QtInstanceChannel.h"
#include "adapters/qt/QtMainQueue.h"
#include "adapters/qt/QtWebAuthSession.h"
#include "adapters/tray/TrayProbe.h"
#include "adapters/tray/TrayStatusBar.h"
#include "platform/AppIdentity.h"

namespace zandorin::adapters {

namespace {

constexpr std::chrono::milliseconds kTrayPollInterval{500};
// Start-up is over by then: the keyring read, the first check and the first menus are done.
constexpr std::chrono::seconds kStartUpOver{5};

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// QT_QPA_PLATFORM is a ';'-separated list of fallbacks, each "name[:options]".
bool onlyDisplayPlatforms(std::string_view list) {
    bool any = false;
    while (!list.empty()) {
        const auto end = list.find(';');
        std::string_view entry = list.substr(0, end);
        list = end == std::string_view::npos ? std::string_view{} : list.substr(end + 1);
        entry = entry.substr(0, entry.find(':'));
        if (entry.empty()) {
            continue;
        }
        if (entry != "xcb" && !entry.starts_with("wayland")) {
            return false;
        }
        any = true;
    }
    return any;
}

class QtApplication final : public platform::Application {
public:
    // A tray application has no dock entry on Linux desktops to begin with.
    void setActivationPolicy(platform::ActivationPolicy /*policy*/) override {}

    void terminate() override { exit(0); }

    // Ends every event loop running, modal alerts included, and the main one with `status`.
    void exit(int status) {
        termination_ = status;
        QCoreApplication::exit(status);
    }

    // The status of an exit that came before the event loop ran (QCoreApplication's is lost).
    std::optional<int> takeTermination() { return std::exchange(termination_, std::nullopt); }

private:
    std::optional<int> termination_;
};

class QtAlerts final : public platform::Alerts {
public:
    void runModal(const platform::AlertContent& alert) override {
        const QString message = QString::fromStdString(alert.messageText);
        QMessageBox box(QMessageBox::Warning, message, message, QMessageBox::Ok);
        // Texts come from the service: show them as they are, never as markup.
        box.setTextFormat(Qt::PlainText);
        box.setInformativeText(QString::fromStdString(alert.informativeText));
        if (auto* informative =
                box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
            informative->setTextFormat(Qt::PlainText);
        }
        box.exec();
    }
};

class QtWorkspace final : public platform::Workspace {
public:
    bool open(const std::string& url) override {
        const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
        if (!parsed.isValid() || parsed.scheme().isEmpty()) {
            return false;
        }
        return QDesktopServices::openUrl(parsed);
    }
};

InstanceDirectory instanceDirectory() {
    return resolveInstanceDirectory(std::getenv("XDG_RUNTIME_DIR"), "/tmp", ::getuid());
}

bool trayReady() {
    // Qt is asked only once a tray is known to be there, so that its answer is yes.
    if (tray::statusNotifierHostReady()) {
        return QSystemTrayIcon::isSystemTrayAvailable();
    }
    if (QGuiApplication::platformName() == QLatin1String("xcb") && tray::xembedTrayPresent()) {
        return QSystemTrayIcon::isSystemTrayAvailable();
    }
    return false;
}

}  // namespace

struct QtApplicationHost::Impl {
    std::unique_ptr<QApplication> app;  // first: the ports below need it while they go
    std::unique_ptr<QtMainQueue> mainQueue;
    QtApplication application;
    std::unique_ptr<TrayStatusBar> statusBar;  // made on first use, once the tray is there
    QtAlerts alerts;
    QtWorkspace workspace;
    std::unique_ptr<QtWebAuthSessionFactory> webAuth;  // posts to mainQueue
    std::unique_ptr<QtInstanceChannel> instance;       // delivers to webAuth
    std::optional<InstanceRole> role;
    std::vector<std::function<void()>> launchBlocks;
};

std::optional<std::string> QtApplicationHost::missingDisplay() {
    if (isSet("WAYLAND_DISPLAY") || isSet("DISPLAY")) {
        return std::nullopt;
    }
    // A platform that needs no display server (offscreen, vnc, eglfs…) was chosen on purpose.
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0' && !onlyDisplayPlatforms(platform)) {
        return std::nullopt;
    }
    return "no graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set";
}

std::optional<std::string> QtApplicationHost::quitRunningInstance(int& argc, char** argv) {
    const QCoreApplication app(argc, argv);  // for the local socket
    const auto directory = instanceDirectory();
    if (!directory.path) {
        return directory.problem + ": unsafe for the instance socket";
    }
    return QtInstanceChannel(QtInstanceChannel::Options{.directory = *directory.path}, {}, {})
        .requestQuit();
}

QtApplicationHost::QtApplicationHost(int& argc, char** argv) : impl_(std::make_unique<Impl>()) {
    QCoreApplication::setApplicationName(QStringLiteral("zandorin-auth"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("zandorin.com"));
    QGuiApplication::setDesktopFileName(QStringLiteral("zandorin-auth"));
    impl_->app = std::make_unique<QApplication>(argc, argv);
    // Closing an alert, the only window there ever is, must not end the application.
    QApplication::setQuitOnLastWindowClosed(false);
    // Autostart brings the application back at login; a session manager restarting it as well
    // would hand it "-session" arguments, which the command line refuses.
    QObject::connect(
        impl_->app.get(), &QGuiApplication::saveStateRequest,
        [](QSessionManager& manager) { manager.setRestartHint(QSessionManager::RestartNever); });
    impl_->mainQueue = std::make_unique<QtMainQueue>();
    impl_->webAuth = std::make_unique<QtWebAuthSessionFactory>(
        *impl_->mainQueue,
        [workspace = &impl_->workspace](const std::string& url) { return workspace->open(url); });
}

QtApplicationHost::~QtApplicationHost() {
    impl_->instance.reset();
    impl_->webAuth.reset();
    impl_->mainQueue.reset();
    // Qt's font database ends by destroying fontconfig's current configuration, and so first
    // loads it (every fonts.conf, the font cache) when nothing drew text, as with a tray item
    // the panel draws: half the time of a quit. An empty configuration goes in its place.
    if (FcConfig* empty = FcConfigCreate()) {
        FcConfigSetCurrent(empty);
        FcConfigDestroy(empty);  // now held as the current one alone
    }
    impl_->app.reset();
}

InstanceRole QtApplicationHost::claimSingleInstance(const std::vector<std::string>& arguments) {
    if (impl_->role) {
        return *impl_->role;
    }
    const auto directory = instanceDirectory();
    if (!directory.path) {
        std::fprintf(stderr,
                     "%s: %s: unsafe for the instance socket; not looking for a running instance\n",
                     kExecutableName, directory.problem.c_str());
        return *(impl_->role = InstanceRole::primary);
    }
    impl_->instance = std::make_unique<QtInstanceChannel>(
        QtInstanceChannel::Options{.directory = *directory.path},
        [webAuth = impl_->webAuth.get()](const std::string& url) { webAuth->deliver(url); },
        [application = &impl_->application] { application->terminate(); });
    impl_->role = impl_->instance->claim(arguments);
    if (*impl_->role != InstanceRole::primary) {
        impl_->instance.reset();
    }
    return *impl_->role;
}

std::optional<std::string> QtApplicationHost::waitForSystemTray(
    std::chrono::milliseconds patience) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::max(patience, std::chrono::milliseconds{0});

    if (!trayReady() && Clock::now() < deadline) {
        // A panel that starts with the session may come up after us: keep the event loop
        // running meanwhile, and look again now and then.
        QEventLoop loop;
        QTimer poll;
        poll.setSingleShot(true);
        auto schedule = [&] {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            poll.start(std::clamp(left, std::chrono::milliseconds{1}, kTrayPollInterval));
        };
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (trayReady() || Clock::now() >= deadline) {
                loop.quit();
            } else {
                schedule();
            }
        });
        schedule();
        loop.exec();
    }

    // Out of patience, Qt has the last word (a platform the probes above do not know).
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        return std::nullopt;
    }
    return "no system tray: the desktop offers neither a StatusNotifierItem host "
           "(org.kde.StatusNotifierWatcher) nor an XEmbed tray";
}

void QtApplicationHost::whenLaunched(std::function<void()> block) {
    if (block) {
        impl_->launchBlocks.push_back(std::move(block));
    }
}

int QtApplicationHost::exec() {
    if (const auto status = impl_->application.takeTermination()) {
        impl_->launchBlocks.clear();
        impl_->mainQueue->close();
        return *status;
    }
    // Queued now, so that they run first thing in this event loop, not in an earlier one
    // (waitForSystemTray runs one too).
    for (auto& block : std::exchange(impl_->launchBlocks, {})) {
        impl_->mainQueue->post(std::move(block));
    }
    // Start-up frees a few MB that glibc keeps in its heaps, one per thread that allocated,
    // for a process that then idles for days; they go back to the system once it is over.
    QTimer::singleShot(kStartUpOver, [] { malloc_trim(0); });
    const int status = QApplication::exec();
    impl_->application.takeTermination();
    impl_->mainQueue->close();
    return status;
}

platform::MainQueue& QtApplicationHost::mainQueue() {
    return *impl_->mainQueue;
}
platform::Application& QtApplicationHost::application() {
    return impl_->application;
}
platform::StatusBar& QtApplicationHost::statusBar() {
    if (!impl_->statusBar) {
        impl_->statusBar =
            std::make_unique<TrayStatusBar>(TrayStatusBar::detect(), [impl = impl_.get()] {
                std::fprintf(stderr, "%s: lost the connection to the session bus\n",
                             kExecutableName);
                impl->application.exit(1);
            });
    }
    return *impl_->statusBar;
}
platform::Alerts& QtApplicationHost::alerts() {
    return impl_->alerts;
}
platform::Workspace& QtApplicationHost::workspace() {
    return impl_->workspace;
}
platform::WebAuthSessionFactory& QtApplicationHost::webAuthSessions() {
    return *impl_->webAuth;
}

}  // namespace zandorin::adapters
