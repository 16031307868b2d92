// The notification centre as the application uses it, for test_notifications.py, through
// Qt-free headers only. Commands are JSON lines on stdin:
//   {"cmd": "authorize"}, {"cmd": "add", "id", "title", "body", "userInfo"}, {"cmd": "ping"},
//   {"cmd": "delegate", "options": 18, "late": false}: a delegate whose willPresent answers
//       with `options`; when `late`, twice and from another thread. Without options, none.
// Reports are JSON lines on stdout: ready, authorization, willPresent, added (with the
// microseconds add() took), didReceive, pong; "main": whether it ran on the main thread.

#include <chrono>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "adapters/dbus/FreedesktopNotifications.h"
#include "adapters/qt/QtApplicationHost.h"

namespace {

using nlohmann::json;
using zandorin::platform::MainQueue;
using zandorin::platform::NotificationRequest;
using zandorin::platform::NotificationResponse;

std::mutex outputMutex;

void report(const json& event) {
    std::lock_guard lock(outputMutex);
    std::cout << event.dump() << std::endl;
}

class Delegate final : public zandorin::platform::UserNotificationDelegate {
public:
    Delegate(MainQueue& queue, unsigned options, bool late)
        : queue_(queue), options_(options), late_(late) {}

    ~Delegate() override {
        for (auto& thread : threads_) {
            thread.join();
        }
    }

    Delegate(const Delegate&) = delete;
    Delegate& operator=(const Delegate&) = delete;

    void willPresent(const NotificationRequest& notification,
                     const std::function<void(unsigned options)>& completionHandler) override {
        report({{"event", "willPresent"}, {"id", notification.identifier}});
        if (!late_) {
            completionHandler(options_);
            return;
        }
        threads_.emplace_back([completionHandler, options = options_] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            completionHandler(options);
            completionHandler(options);
        });
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
    unsigned options_;
    bool late_;
    std::vector<std::thread> threads_;
};

int runProbe(int& argc, char** argv) {
    zandorin::adapters::QtApplicationHost host(argc, argv);
    auto& queue = host.mainQueue();
    zandorin::adapters::FreedesktopNotifications center;
    std::unique_ptr<Delegate> delegate;

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
        } else if (cmd == "delegate") {
            center.setDelegate(nullptr);
            delegate.reset();
            if (command.contains("options")) {
                delegate = std::make_unique<Delegate>(queue, command["options"].get<unsigned>(),
                                                      command.value("late", false));
                center.setDelegate(delegate.get());
            }
        } else if (cmd == "add") {
            NotificationRequest request{command.at("id").get<std::string>(),
                                        {command.value("title", ""), command.value("body", ""),
                                         command.value("userInfo", json::object())}};
            const auto started = std::chrono::steady_clock::now();
            center.add(request);
            const auto took = std::chrono::steady_clock::now() - started;
            report({{"event", "added"},
                    {"us", std::chrono::duration_cast<std::chrono::microseconds>(took).count()}});
        } else if (cmd == "ping") {
            report({{"event", "pong"}});
        }
    };

    std::thread reader([&queue, &run, &host] {
        std::string line;
        while (std::getline(std::cin, line)) {
            queue.post([&run, command = json::parse(line, nullptr, false)] {
                try {
                    run(command);
                } catch (const json::exception& error) {
                    report({{"event", "badCommand"}, {"error", error.what()}});
                }
            });
        }
        queue.post([&host] { host.application().terminate(); });
    });
    host.whenLaunched([] { report({{"event", "ready"}}); });
    const int status = host.exec();
    reader.join();
    center.setDelegate(nullptr);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return runProbe(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
