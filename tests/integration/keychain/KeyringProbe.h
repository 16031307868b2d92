#pragma once

#include <gio/gio.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace zandorin::integration {

// The gnome-keyring daemon on this test's private session bus, seen from outside the adapter:
// its own D-Bus connection, so the adapter's cached one is not involved.
class KeyringProbe {
public:
    static constexpr const char* password = "pw";

    KeyringProbe();
    ~KeyringProbe();
    KeyringProbe(const KeyringProbe&) = delete;
    KeyringProbe& operator=(const KeyringProbe&) = delete;

    pid_t daemonPid();
    void stopDaemon();
    // Starts a daemon that unlocks the login keyring persisted in XDG_DATA_HOME.
    void startDaemon();

    void lockDefaultCollection();
    // Headless: the daemon's master-password call, which needs no prompter.
    void unlockDefaultCollection();
    // Locked items count too.
    int countItems(const std::string& service, const std::string& account);

private:
    bool waitForOwner(bool owned);

    GDBusConnection* bus_;
};

// Stops the daemon (SIGSTOP) for its lifetime. A detached guard process resumes it should the
// test die first (a ctest timeout kills the test's process tree), so it is never left stopped.
class PausedDaemon {
public:
    explicit PausedDaemon(pid_t daemon);
    ~PausedDaemon();
    PausedDaemon(const PausedDaemon&) = delete;
    PausedDaemon& operator=(const PausedDaemon&) = delete;

private:
    pid_t daemon_;
    int guardPipe_ = -1;
};

struct ProcessResult {
    int status;
    std::string output;
};

// Runs a program with `input` on stdin and returns its exit status and stdout; it is killed
// after ten seconds. Without `captureOutput` stdout is discarded, for programs that leave a
// daemon holding it.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input = {},
                         bool captureOutput = true);

}  // namespace zandorin::integration
