#pragma once

// What the adapter probes share: JSON-line reports on stdout, and commands, one JSON line each
// on stdin, run on the main thread until the input ends, which ends the application.

#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "adapters/qt/QtApplicationHost.h"

namespace zandorin::probe {

// Whole lines from any thread; text that is not UTF-8 is replaced, never thrown over.
inline void report(const nlohmann::json& event) {
    static std::mutex outputMutex;
    std::lock_guard lock(outputMutex);
    std::cout << event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

// Reports "ready" once launched; a line that is not a JSON object reaches `run` as {}.
inline int runCommands(adapters::QtApplicationHost& host,
                       const std::function<void(const nlohmann::json&)>& run) {
    auto& queue = host.mainQueue();
    std::thread reader([&queue, &run, &host] {
        for (std::string line; std::getline(std::cin, line);) {
            auto command = nlohmann::json::parse(line, nullptr, false);
            if (!command.is_object()) {
                command = nlohmann::json::object();
            }
            queue.post([&run, command = std::move(command)] { run(command); });
        }
        queue.post([&host] { host.application().terminate(); });
    });
    host.whenLaunched([] { report({{"event", "ready"}}); });
    const int status = host.exec();
    reader.join();
    return status;
}

}  // namespace zandorin::probe
