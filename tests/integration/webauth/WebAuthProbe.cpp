// The application's start in miniature, for test_webauth.py: claims the single instance as
// main() does, through QtApplicationHost.h alone, and starts sign-in sessions on command.
//
// Usage: zandorin_webauth_probe [arguments for claimSingleInstance...]
// Prints "ROLE <role>"; all but a primary then exit 0. A primary prints "READY" and reads
// commands on stdin: "start <scheme> <url>" (a new session replaces the previous one, as each
// sign-in does), "ping" (answered "PONG") and "quit". It reports "STARTED <n> true|false" and
// "COMPLETED <n> main|other url <url>" or "COMPLETED <n> main|other error <description>".

#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "adapters/qt/QtApplicationHost.h"

namespace {

using zandorin::adapters::InstanceRole;

std::mutex outputMutex;

void report(const std::string& line) {
    std::lock_guard lock(outputMutex);
    std::cout << line << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    zandorin::adapters::QtApplicationHost host(argc, argv);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const InstanceRole role = host.claimSingleInstance(arguments);
    report(role == InstanceRole::primary     ? "ROLE primary"
           : role == InstanceRole::handedOff ? "ROLE handedOff"
                                             : "ROLE alreadyRunning");
    if (role != InstanceRole::primary) {
        return 0;
    }

    auto& queue = host.mainQueue();
    std::unique_ptr<zandorin::platform::WebAuthSession> session;
    int count = 0;
    auto run = [&](const std::string& line) {
        std::istringstream words(line);
        std::string command;
        std::string scheme;
        std::string url;
        words >> command >> scheme >> url;
        if (command == "start") {
            const int number = ++count;
            session = host.webAuthSessions().makeSession(
                url, scheme,
                [number, &queue](const std::optional<std::string>& callbackUrl,
                                 const std::optional<zandorin::platform::WebAuthError>& error) {
                    report("COMPLETED " + std::to_string(number) +
                           (queue.isMainThread() ? " main" : " other") +
                           (callbackUrl ? " url " + *callbackUrl
                                        : " error " + error->localizedDescription));
                });
            session->setPrefersEphemeralWebBrowserSession(false);
            report("STARTED " + std::to_string(number) + (session->start() ? " true" : " false"));
        } else if (command == "ping") {
            report("PONG");
        } else if (command == "quit") {
            host.application().terminate();
        }
    };
    std::thread reader([&queue, &run] {
        std::string line = "quit";
        while (std::getline(std::cin, line) && line != "quit") {
            queue.post([&run, line] { run(line); });
        }
        queue.post([&run] { run("quit"); });
    });
    host.whenLaunched([] { report("READY"); });
    const int status = host.exec();
    reader.join();
    return status;
}
