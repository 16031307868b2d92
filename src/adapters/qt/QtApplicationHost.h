#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Alert.h"
#include "platform/Application.h"
#include "platform/MainQueue.h"
#include "platform/StatusItem.h"
#include "platform/WebAuthSession.h"
#include "platform/Workspace.h"

namespace zandorin::adapters {

// What a process is to do after looking for an instance of the application already running.
enum class InstanceRole {
    primary,         // the first: carry on and show the tray
    handedOff,       // its argument went to the running instance: exit 0
    alreadyRunning,  // another one runs, and nothing was passed to it: say so, exit 0
};

// Owns the Qt application object and hands out the Qt-backed ports. This header is free of
// Qt so that the composition root stays so too.
class QtApplicationHost {
public:
    // What is missing for a tray application to start (no display connection), or nothing.
    static std::optional<std::string> missingDisplay();

    // Asks the instance running for this user to quit, and waits until it has; why that did
    // not happen (none runs, it does not answer), or nothing. Needs no display.
    static std::optional<std::string> quitRunningInstance(int& argc, char** argv);

    // Creates the QApplication: no window, no taskbar entry, not quitting when the last window
    // closes.
    QtApplicationHost(int& argc, char** argv);
    ~QtApplicationHost();

    QtApplicationHost(const QtApplicationHost&) = delete;
    QtApplicationHost& operator=(const QtApplicationHost&) = delete;

    // One instance per user. Called right after construction, before the tray; `arguments`
    // are argv[1..]. The first process listens for later ones, whose single argument (the
    // callback URL the browser started us with) reaches webAuthSessions(). A problem with the
    // socket's directory is reported on stderr, and the process then runs as the primary.
    InstanceRole claimSingleInstance(const std::vector<std::string>& arguments);

    // Waits (running the event loop) up to the given time for a system tray to appear;
    // a description of what is missing when none did.
    std::optional<std::string> waitForSystemTray(std::chrono::milliseconds patience);

    // Runs the block once the event loop has started ("did finish launching").
    void whenLaunched(std::function<void()> block);

    // Runs the event loop until the application terminates, then closes the main queue: what
    // is posted after that is dropped. The process's exit status.
    int exec();

    platform::MainQueue& mainQueue();
    platform::Application& application();
    // Its kind of tray is chosen at the first call, which comes after waitForSystemTray().
    platform::StatusBar& statusBar();
    platform::Alerts& alerts();
    platform::Workspace& workspace();
    platform::WebAuthSessionFactory& webAuthSessions();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zandorin::adapters
