// Process entry and composition root: builds the real adapters once and hands them to the core.

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <typeinfo>
#include <utility>
#include <vector>

#include "adapters/curl/CurlHttpClient.h"
#include "adapters/curl/CurlUrlParser.h"
#include "adapters/dbus/FreedesktopNotifications.h"
#include "adapters/dbus/SecretServiceMonitor.h"
#include "adapters/dbus/SystemBusEvents.h"
#include "adapters/dbus/UnifiedPushConnector.h"
#include "adapters/journal/JournalSystemLog.h"
#include "adapters/openssl/OpenSslCrypto.h"
#include "adapters/plist/PlistBundleInfo.h"
#include "adapters/process/StdoutConsole.h"
#include "adapters/process/SystemClock.h"
#include "adapters/process/ThreadPoolExecutor.h"
#include "adapters/process/XdgStateFlags.h"
#include "adapters/qt/QtApplicationHost.h"
#include "adapters/secretservice/SecretServiceKeychain.h"
#include "app/AppDelegate.h"
#include "app/CommandLine.h"
#include "common/ServiceConfig.h"
#include "platform/AppIdentity.h"

namespace {

// How long start-up waits for a panel that offers a tray: at login the panel may come up a
// moment after the applications it hosts.
constexpr std::chrono::seconds kTrayPatience(10);
// How long a process on its way out waits for the notification server to take its notice.
constexpr std::chrono::seconds kNoticePatience(2);
// How long the quit waits for the keyring: a token just refreshed is still written, while a
// keyring that hangs holds the quit no longer than this.
constexpr std::chrono::milliseconds kKeyringPatience(500);

// Runs its block when it goes, on every way out of the scope.
class AtScopeEnd {
public:
    explicit AtScopeEnd(std::function<void()> block) : block_(std::move(block)) {}
    ~AtScopeEnd() { block_(); }
    AtScopeEnd(const AtScopeEnd&) = delete;
    AtScopeEnd& operator=(const AtScopeEnd&) = delete;

private:
    std::function<void()> block_;
};

int fail(const std::string& reason) {
    std::fprintf(stderr, "%s: %s\n", zandorin::kExecutableName, reason.c_str());
    return 1;
}

// What escaped the start or the event loop. Only errors from the system are quoted: others may
// quote what they were parsing, a token among them.
std::string describe(const std::exception& error) {
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> type(
        abi::__cxa_demangle(typeid(error).name(), nullptr, nullptr, &status), &std::free);
    std::string text = std::string("unexpected error (") +
                       (status == 0 && type ? type.get() : typeid(error).name()) + ")";
    if (dynamic_cast<const std::system_error*>(&error) != nullptr) {
        text += ": " + std::string(error.what());
    }
    return text;
}

int run(int argc, char** argv) {
    using namespace zandorin;

    // Before any display, keyring or running instance is touched.
    const CommandLine command = parseCommandLine({argv + 1, argv + argc});
    if (command.action == CommandLine::Action::exit) {
        std::fputs(command.text.c_str(), command.status == 0 ? stdout : stderr);
        return command.status;
    }
    if (command.action == CommandLine::Action::quit) {
        const auto problem = adapters::QtApplicationHost::quitRunningInstance(argc, argv);
        return problem ? fail(*problem) : 0;
    }

    if (const auto missing = adapters::QtApplicationHost::missingDisplay()) {
        return fail(*missing);
    }
    adapters::QtApplicationHost host(argc, argv);
    // Before the tray: a second start, or the browser handing back a sign-in, must not bring
    // up a second icon.
    const std::vector<std::string> arguments(argv + 1, argv + argc);  // after Qt took its own
    switch (host.claimSingleInstance(arguments)) {
        case adapters::InstanceRole::primary:
            break;
        case adapters::InstanceRole::handedOff:
            return 0;
        case adapters::InstanceRole::alreadyRunning:
            std::fprintf(stderr, "%s: already running\n", kExecutableName);
            return 0;
    }
    if (const auto missing = host.waitForSystemTray(kTrayPatience)) {
        // Started from the menu or at login nobody reads standard error.
        adapters::FreedesktopNotifications::showBeforeExit(
            {.identifier = "no-system-tray",
             .content = {.title = "Mirrowen",
                         .body = "找不到系統匣，無法顯示 Mirrowen 的圖示與選單，程式已結束。"
                                 "GNOME 使用者請安裝並啟用 AppIndicator 擴充功能"
                                 "（套件 gnome-shell-extension-appindicator），"
                                 "重新登入桌面後再開啟本程式。"}},
            kNoticePatience);
        return fail(*missing);
    }

    adapters::CurlUrlParser urls;
    auto bundle = adapters::PlistBundleInfo::locate(
        [](const std::string& problem) {
            std::fprintf(stderr, "%s: %s; skipped\n", kExecutableName, problem.c_str());
        },
        [&urls](const platform::BundleInfo& info) { return cleartextAddress(urls, info); });
    if (bundle.loadError()) {
        std::fprintf(stderr, "%s: %s; using the built-in service addresses\n", kExecutableName,
                     bundle.loadError()->c_str());
    }
    auto& mainQueue = host.mainQueue();
    adapters::SecretServiceKeychain keychain([&mainQueue] { return mainQueue.isMainThread(); });
    adapters::SecretServiceMonitor keychainMonitor;
    adapters::SystemClock clock;
    adapters::CurlHttpClient http;
    adapters::FreedesktopNotifications userNotifications;
    adapters::UnifiedPushConnector remoteNotifications(
        kBundleIdentifier, "ZandorinAuth notifications",
        adapters::UnifiedPushConnector::defaultTokenFile());
    adapters::JournalSystemLog systemLog;
    adapters::StdoutConsole console;
    adapters::OpenSslCrypto crypto;
    adapters::ThreadPoolExecutor executor;
    adapters::XdgStateFlags stateFlags([](const char* name) { return std::getenv(name); });
    adapters::SystemBusEvents systemEvents;

    platform::Platform platform{
        .application = host.application(),
        .mainQueue = mainQueue,
        .clock = clock,
        .executor = executor,
        .http = http,
        .keychain = keychain,
        .keychainMonitor = keychainMonitor,
        .bundle = bundle,
        .statusBar = host.statusBar(),
        .alerts = host.alerts(),
        .workspace = host.workspace(),
        .webAuth = host.webAuthSessions(),
        .userNotifications = userNotifications,
        .remoteNotifications = remoteNotifications,
        .systemLog = systemLog,
        .console = console,
        .urls = urls,
        .crypto = crypto,
        .systemEvents = systemEvents,
        .stateFlags = stateFlags,
    };

    KeychainHelper keychainHelper(keychain, kBundleIdentifier);
    PushManager push(platform, keychainHelper);
    OAuthManager oauth(platform, keychainHelper);
    AppDelegate delegate(platform, keychainHelper, oauth, push);
    remoteNotifications.setDelegate(&delegate);
    // Declared last, so it goes first: background tasks use the objects above, which may go
    // only once no task runs. Transfers in flight are aborted and keyring calls give up soon,
    // so that the join does not wait on the network or a hung keyring. By then the event loop
    // has ended and the main queue is closed: nothing posted from here on runs.
    const AtScopeEnd stopBackgroundWork([&] {
        remoteNotifications.setDelegate(nullptr);
        http.stop();
        keychain.stop(kKeyringPatience);
        executor.stop();
    });

    host.whenLaunched([&delegate] { delegate.applicationDidFinishLaunching(); });
    return host.exec();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        return fail(describe(error));
    } catch (...) {
        return fail("unexpected error");
    }
}
