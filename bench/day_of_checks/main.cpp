// A day of checks in a few minutes: the core's MCP transport and OAuth manager over the real
// libcurl client and Secret Service keyring, against the local service. Prints a Markdown table
// of resident memory, open descriptors and threads after 1 000 and after all checks. As in the
// app, the checks run on a background thread while the main thread runs GLib's default main
// loop (Qt's event loop does that there): GDBus finishes some cleanups on it.
//
// Usage (inside a private keyring session, tokens on stdin, one per line: access, refresh):
//   bench-day-of-checks SERVICE_ORIGIN ISSUER [CHECKS]

#include <glib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "adapters/curl/CurlHttpClient.h"
#include "adapters/curl/CurlUrlParser.h"
#include "adapters/openssl/OpenSslCrypto.h"
#include "adapters/plist/PlistBundleInfo.h"
#include "adapters/process/StdoutConsole.h"
#include "adapters/process/SystemClock.h"
#include "adapters/process/ThreadPoolExecutor.h"
#include "adapters/secretservice/SecretServiceKeychain.h"
#include "auth/OAuthManager.h"
#include "platform/AppIdentity.h"
#include "service/McpTransport.h"
#include "service/ServiceReplies.h"

namespace {

using namespace zandorin;

// The desktop ports, which a check never reaches.
struct NoDesktop final : platform::Application,
                         platform::MainQueue,
                         platform::StatusBar,
                         platform::Alerts,
                         platform::Workspace,
                         platform::WebAuthSessionFactory,
                         platform::UserNotificationCenter,
                         platform::RemoteNotifications,
                         platform::SystemLog,
                         platform::KeychainMonitor,
                         platform::SystemEvents,
                         platform::StateFlags {
    void setActivationPolicy(platform::ActivationPolicy) override {}
    void terminate() override {}
    void setChangeHandler(std::function<void()>) override {}
    void post(std::function<void()>) override {}
    std::unique_ptr<platform::Timer> scheduleRepeating(std::chrono::milliseconds,
                                                       std::function<void()>) override {
        return nullptr;
    }
    bool isMainThread() const override { return false; }
    std::unique_ptr<platform::StatusItem> makeStatusItem() override { return nullptr; }
    void runModal(const platform::AlertContent&) override {}
    bool open(const std::string&) override { return false; }
    std::unique_ptr<platform::WebAuthSession> makeSession(const std::string&, const std::string&,
                                                          platform::WebAuthCompletion) override {
        return nullptr;
    }
    void requestAuthorization(
        unsigned, std::function<void(bool, const std::optional<std::string>&)>) override {}
    void add(const platform::NotificationRequest&) override {}
    void setDelegate(platform::UserNotificationDelegate*) override {}
    void setDelegate(platform::RemoteNotificationsDelegate*) override {}
    void registerForRemoteNotifications() override {}
    void setHandler(std::function<void(platform::SystemEvent)>) override {}
    bool isSet(const std::string&) const override { return false; }
    bool set(const std::string&, bool) override { return true; }
    // Three lines a check would fill the journal; only their count is kept.
    void write(const std::string&, const std::string&, const std::string&) override { ++lines; }
    long lines = 0;
};

struct Sample {
    double rssMiB = 0;
    long descriptors = 0;
    long threads = 0;
};

Sample sample() {
    Sample s;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) {
            s.rssMiB = std::stod(line.substr(6)) / 1024.0;
        }
    }
    const auto count = [](const char* dir) {
        const std::filesystem::directory_iterator entries(dir);
        return static_cast<long>(std::distance(begin(entries), end(entries)));
    };
    s.descriptors = count("/proc/self/fd");
    s.threads = count("/proc/self/task");
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SERVICE_ORIGIN ISSUER [CHECKS]\n", argv[0]);
        return 2;
    }
    const std::string origin = argv[1];
    const long checks = argc > 3 ? std::stol(argv[3]) : 10000;
    std::string access;
    std::string refresh;
    std::getline(std::cin, access);
    std::getline(std::cin, refresh);

    NoDesktop desktop;
    adapters::SystemClock clock;
    adapters::ThreadPoolExecutor executor;
    adapters::CurlHttpClient http;
    adapters::SecretServiceKeychain keyring([] { return false; });
    adapters::PlistBundleInfo bundle("<plist><dict><key>MCP_SERVER_URL</key><string>" + origin +
                                         "</string><key>KEYCLOAK_ISSUER</key><string>" + argv[2] +
                                         "</string></dict></plist>",
                                     "bench");
    adapters::StdoutConsole console;
    adapters::CurlUrlParser urls;
    adapters::OpenSslCrypto crypto;
    platform::Platform platform{desktop, desktop, clock,   executor, http,    keyring, desktop,
                                bundle,  desktop, desktop, desktop,  desktop, desktop, desktop,
                                desktop, console, urls,    crypto,   desktop, desktop};

    KeychainHelper keychain(keyring, kBundleIdentifier);
    if (keychain.save(access, "access_token") != platform::KeychainStatus::success ||
        keychain.save(refresh, "refresh_token") != platform::KeychainStatus::success) {
        std::fprintf(stderr, "the keyring refused the tokens\n");
        return 1;
    }
    OAuthManager oauth(platform, keychain);
    McpTransport transport(platform, keychain, [&oauth] { oauth.refreshAccessToken(); });

    platform::HttpRequest statsRequest;
    statsRequest.method = "GET";
    statsRequest.url = origin + "/api/stats";
    statsRequest.timeout = std::chrono::seconds(10);

    GMainLoop* mainLoop = g_main_loop_new(nullptr, FALSE);
    long failedChecks = 0;
    long refreshes = 0;
    long rotations = 0;
    long failedStats = 0;
    Sample early;
    const auto started = std::chrono::steady_clock::now();
    std::thread worker([&] {
        for (long check = 1; check <= checks; ++check) {
            const bool ok =
                transport.mcpCall("initialize", service::initializeParams()).has_value() &&
                transport.mcpNotify("notifications/initialized") &&
                service::evaluateSubscription(
                    transport.mcpCall("tools/call", service::subscriptionStatusParams()));
            failedChecks += ok ? 0 : 1;
            if (check % 5 == 0) {
                const auto before = keychain.load("refresh_token");
                oauth.refreshAccessToken();
                ++refreshes;
                rotations += keychain.load("refresh_token") != before ? 1 : 0;
                const auto result = http.send(statsRequest);
                const auto* answer = std::get_if<platform::HttpResponse>(&result);
                failedStats += answer && service::parseKnowledgeStats(answer->body) ? 0 : 1;
            }
            if (check == 1000) {
                early = sample();
            }
        }
        g_main_loop_quit(mainLoop);
    });
    g_main_loop_run(mainLoop);
    worker.join();
    g_main_loop_unref(mainLoop);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const Sample late = sample();

    std::printf(
        "%ld checks, %ld refreshes (%ld rotated the refresh token), %ld statistics "
        "fetches in %.0f s; failed: %ld checks, %ld fetches; %ld log lines\n\n",
        checks, refreshes, rotations, refreshes, seconds, failedChecks, failedStats, desktop.lines);
    std::printf("| after | RSS (MiB) | open descriptors | threads |\n|---|---|---|---|\n");
    std::printf("| 1 000 checks | %.1f | %ld | %ld |\n", early.rssMiB, early.descriptors,
                early.threads);
    std::printf("| %ld checks | %.1f | %ld | %ld |\n", checks, late.rssMiB, late.descriptors,
                late.threads);
    return failedChecks == 0 && failedStats == 0 && rotations == refreshes ? 0 : 1;
}
