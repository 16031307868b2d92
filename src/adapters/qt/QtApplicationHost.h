#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Alert.h"
#include "platform/Application.h"
#include "platform/MainQueue.h"
#include "platform/StatusItem.h"
#include "platform/Workspace.h"

namespace zandorin::adapters {

// Owns the Qt application object and hands out the Qt-backed ports. This header is free of
// Qt so that the composition root stays so too.
class QtApplicationHost {
public:
    // What is missing for a tray application to start (no display connection), or nothing.
    static std::optional<std::string> missingDisplay();

    // Creates the QApplication: no window, no taskbar entry, not quitting when the last window
    // closes.
    QtApplicationHost(int& argc, char** argv);
    ~QtApplicationHost();

    QtApplicationHost(const QtApplicationHost&) = delete;
    QtApplicationHost& operator=(const QtApplicationHost&) = delete;

    // Waits (running the event loop) up to the given time for a system tray to appear;
    // a description of what is missing when none did.
    std::optional<std::string> waitForSystemTray(std::chrono::milliseconds patience);

    // Runs the block once the event loop has started ("did finish launching").
    void whenLaunched(std::function<void()> block);

    // Runs the event loop until the application terminates; the process's exit status.
    int exec();

    platform::MainQueue& mainQueue();
    platform::Application& application();
    platform::StatusBar& statusBar();
    platform::Alerts& alerts();
    platform::Workspace& workspace();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zandorin::adapters
