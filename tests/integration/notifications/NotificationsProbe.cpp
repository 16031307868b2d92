// The notification centre as the application uses it, for test_notifications.py, through
// Qt-free headers only, with a delegate that asks for a banner with sound as the app's does.
// Commands are JSON lines on stdin: {"cmd": "authorize"}, {"cmd": "ping"} and
// {"cmd": "add", "id", "title", "body", "userInfo"}. Reports are JSON lines on stdout: ready,
// authorization, added (with the microseconds add() took), didReceive, pong; "main": whether it
// ran on the main thread.

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "adapters/dbus/FreedesktopNotifications.h"
#include "adapters/qt/QtApplicationHost.h"
#include "support/probe/ProbeLoop.h"

namespace {

using nlohmann::json;
using zandorin::probe::report;
using namespace zandorin::platform;

class Delegate final : public UserNotificationDelegate {
public:
    explicit Delegate(MainQueue& queue) : queue_(queue) {}

    void willPresent(const NotificationRequest& /*notification*/,
                     const std::function<void(unsigned options)>& completionHandler) override {
        completionHandler(presentationBanner | presentationSound);
    }

    void didReceive(const NotificationResponse& response,
                    const std::function<void()>& completionHandler) override {
        report({{"event", "didReceive"},
                {"id", response.request.identifier},
                {"action", response.actionIdentifier},
                {"userInfo", response.request.content.userInfo},
                {"main", queue_.isMainThread()}});
        completionHandler();
    }

private:
    MainQueue& queue_;
};

}  // namespace

int main(int argc, char** argv) {
    zandorin::adapters::QtApplicationHost host(argc, argv);
    auto& queue = host.mainQueue();
    zandorin::adapters::FreedesktopNotifications center;
    Delegate delegate(queue);
    center.setDelegate(&delegate);

    auto run = [&](const json& command) {
        const std::string cmd = command.value("cmd", "");
        if (cmd == "authorize") {
            center.requestAuthorization(
                7, [&queue](bool granted, const std::optional<std::string>& error) {
                    report({{"event", "authorization"},
                            {"granted", granted},
                            {"error", error ? json(*error) : json(nullptr)},
                            {"main", queue.isMainThread()}});
                });
        } else if (cmd == "add") {
            const auto started = std::chrono::steady_clock::now();
            center.add({command.value("id", ""),
                        {command.value("title", ""), command.value("body", ""),
                         command.value("userInfo", json::object())}});
            const auto took = std::chrono::steady_clock::now() - started;
            report({{"event", "added"},
                    {"us", std::chrono::duration_cast<std::chrono::microseconds>(took).count()}});
        } else if (cmd == "ping") {
            report({{"event", "pong"}});
        }
    };
    const int status = zandorin::probe::runCommands(host, run);
    center.setDelegate(nullptr);
    return status;
}
