// The Secret Service keychain against a real gnome-keyring on a private bus (run by
// tests/support/desktop/session.py --run) that stops answering: a failure the end-to-end tests,
// which wait on the keyring from the main thread alone, do not provoke.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>

#include "adapters/secretservice/SecretServiceKeychain.h"

namespace zandorin {
namespace {

using adapters::SecretServiceKeychain;
using platform::KeychainStatus;
using namespace std::chrono_literals;

// The keyring daemon's PID, never 0 or -1, which kill() would take for whole process groups.
pid_t daemonPid() {
    FILE* pipe = ::popen(
        "timeout 10 gdbus call --session --dest org.freedesktop.DBus --object-path "
        "/org/freedesktop/DBus --method org.freedesktop.DBus.GetConnectionUnixProcessID "
        "org.freedesktop.secrets",
        "r");
    long pid = 0;
    EXPECT_EQ(std::fscanf(pipe, "(uint32 %ld,)", &pid), 1);  // NOLINT(cert-err34-c)
    ::pclose(pipe);
    return pid > 1 ? static_cast<pid_t>(pid) : -2;
}

TEST(SecretServiceKeychainTest, AHungKeyringCostsOnlyTheCallersDeadlineAndIsThenLeftBehind) {
    SecretServiceKeychain keychain{[] { return false; }, {}};
    const platform::KeychainQuery q{"com.zandorin.auth", "com.zandorin.auth.hung"};
    ASSERT_EQ(keychain.store(q, "value", std::nullopt), KeychainStatus::success);
    // Stopped while it lives: a detached shell resumes it once our end of its stdin closes,
    // also should the test die first (a ctest time-out kills the test's process tree).
    const pid_t daemon = daemonPid();
    ASSERT_GT(daemon, 1);
    FILE* guard = ::popen(
        ("setsid -f sh -c 'read x; kill -CONT " + std::to_string(daemon) + "'").c_str(), "we");
    ASSERT_EQ(::kill(daemon, SIGSTOP), 0);
    // The other deadline is far beyond the bound, so picking the wrong one fails the test.
    for (const bool mainThread : {true, false}) {
        SCOPED_TRACE(mainThread ? "main thread" : "background");
        SecretServiceKeychain bounded{[&] { return mainThread; },
                                      {.mainThreadDeadline = mainThread ? 1s : 60s,
                                       .backgroundDeadline = mainThread ? 60s : 1s,
                                       .unlockDeadline = 1s}};
        // A call and the prompt wait for the stopped daemon until the deadline and no longer.
        // (What later calls on a lane do meanwhile is the lane's own test.)
        const std::function<KeychainStatus()> calls[] = {
            [&] { return bounded.copyMatching(q).status; }, [&] { return bounded.unlock(); }};
        for (const auto& call : calls) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(call(), KeychainStatus::failed);
            EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
        }
    }
    ::kill(daemon, SIGCONT);
    ::pclose(guard);
    // A cancelled call leaves the connection usable.
    EXPECT_EQ(keychain.store(q, "resumed", std::nullopt), KeychainStatus::success);
    EXPECT_EQ(keychain.copyMatching(q).data, "resumed");
    EXPECT_EQ(keychain.remove(q), KeychainStatus::success);
}

}  // namespace
}  // namespace zandorin
