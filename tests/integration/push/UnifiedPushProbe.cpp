// Remote notifications through UnifiedPush as the application uses them, for
// test_unifiedpush.py, through Qt-free headers only.
// Usage: zandorin_unifiedpush_probe <bus name to own> <token file>
// Commands are JSON lines on stdin: {"cmd": "register"}, {"cmd": "ping"}. Reports are JSON lines
// on stdout: ready, didRegister (the device token as hex and as text), didFail (description),
// didReceive (payload as hex, identifier), pong; "main": whether it ran on the main thread.

#include <iostream>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "adapters/dbus/UnifiedPushConnector.h"
#include "adapters/qt/QtApplicationHost.h"
#include "support/probe/ProbeLoop.h"

namespace {

using nlohmann::json;
using zandorin::probe::report;
using namespace zandorin::platform;

constexpr auto description = "ZandorinAuth probe";

std::string hex(const std::string& bytes) {
    constexpr std::string_view digits = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const unsigned char byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 0xf];
    }
    return out;
}

class Delegate final : public RemoteNotificationsDelegate {
public:
    explicit Delegate(MainQueue& queue) : queue_(queue) {}

    void didRegisterForRemoteNotifications(const std::string& deviceToken) override {
        report({{"event", "didRegister"},
                {"hex", hex(deviceToken)},
                {"text", deviceToken},
                {"main", queue_.isMainThread()}});
    }

    void didFailToRegisterForRemoteNotifications(const std::string& localizedDescription) override {
        report({{"event", "didFail"},
                {"description", localizedDescription},
                {"main", queue_.isMainThread()}});
    }

    void didReceiveRemoteNotification(const std::string& payload,
                                      const std::string& identifier) override {
        report({{"event", "didReceive"},
                {"hex", hex(payload)},
                {"identifier", identifier},
                {"main", queue_.isMainThread()}});
    }

private:
    MainQueue& queue_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: " << argv[0] << " <bus name> <token file>\n";
        return 2;
    }
    const std::string serviceName = argv[1];
    const std::string tokenFile = argv[2];
    zandorin::adapters::QtApplicationHost host(argc, argv);
    auto& queue = host.mainQueue();
    Delegate delegate(queue);
    zandorin::adapters::UnifiedPushConnector connector(serviceName, description, tokenFile);
    connector.setDelegate(&delegate);

    auto run = [&](const json& command) {
        const std::string cmd = command.value("cmd", "");
        if (cmd == "register") {
            connector.registerForRemoteNotifications();
        } else if (cmd == "ping") {
            report({{"event", "pong"}});
        }
    };
    const int status = zandorin::probe::runCommands(host, run);
    connector.setDelegate(nullptr);
    return status;
}
