// The Secret Service keychain against a real gnome-keyring on a private bus (run by
// tests/support/desktop/session.py --run), driven and inspected from outside the adapter
// (gdbus, secret-tool): what the end-to-end tests do not provoke.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "adapters/secretservice/SecretServiceKeychain.h"

namespace zandorin {
namespace {

using adapters::SecretServiceKeychain;
using platform::KeychainQuery;
using platform::KeychainStatus;
using namespace std::chrono_literals;

constexpr const char* kService = "com.zandorin.auth";

// A shell command, killed after ten seconds: its output, or with `input` on its stdin, its
// exit status. Arguments here are our own identifiers; secrets travel on stdin only.
std::string output(const std::string& command) {
    FILE* pipe = ::popen(("timeout 10 " + command).c_str(), "r");
    std::string out;
    std::array<char, 4096> chunk{};
    for (std::size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;) {
        out.append(chunk.data(), n);
    }
    EXPECT_EQ(::pclose(pipe), 0) << command;
    return out;
}

int withInput(const std::string& command, const std::string& input) {
    FILE* pipe = ::popen(("timeout 10 " + command).c_str(), "w");
    std::fwrite(input.data(), 1, input.size(), pipe);
    return ::pclose(pipe);
}

std::string busCall(const std::string& dest, const std::string& method, const std::string& arg) {
    const std::string path =
        dest == "org.freedesktop.DBus" ? "/org/freedesktop/DBus" : "/org/freedesktop/secrets";
    return output("gdbus call --session --dest " + dest + " --object-path " + path + " --method " +
                  method + " \"" + arg + "\"");
}

// Never 0 or -1, which kill() would take for whole process groups.
pid_t daemonPid() {
    const std::string reply =
        busCall("org.freedesktop.DBus", "org.freedesktop.DBus.GetConnectionUnixProcessID",
                "org.freedesktop.secrets");  // "(uint32 1234,)"
    const auto at = reply.find("uint32 ");
    const long pid = at == std::string::npos ? 0 : std::strtol(reply.c_str() + at + 7, nullptr, 10);
    if (pid <= 1) {
        throw std::runtime_error("no keyring daemon: " + reply);
    }
    return static_cast<pid_t>(pid);
}

// Locked items count too.
int countItems(const KeychainQuery& q) {
    const std::string reply =
        busCall("org.freedesktop.secrets", "org.freedesktop.Secret.Service.SearchItems",
                "{'service': '" + q.service + "', 'account': '" + q.account + "'}");
    int count = 0;
    for (auto at = reply.find("/collection/"); at != std::string::npos;
         at = reply.find("/collection/", at + 1)) {
        ++count;
    }
    return count;
}

std::string value(SecretServiceKeychain& keychain, const KeychainQuery& q) {
    const auto read = keychain.copyMatching(q);
    return read.status == KeychainStatus::success ? read.data : "(status)";
}

class SecretServiceKeychainTest : public ::testing::Test {
protected:
    // Accounts unique to the running test, so tests sharing the daemon do not see each other.
    static KeychainQuery query(const std::string& key) {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        return {kService, std::string(kService) + "." + test->name() + "." + key};
    }

    SecretServiceKeychain keychain{[] { return false; },
                                   {.mainThreadDeadline = 1500ms, .backgroundDeadline = 10s}};
};

// The first value replaces an item that another program stored without the schema attribute,
// which the provider's own replace would miss.
TEST_F(SecretServiceKeychainTest, StoreReplacesInPlaceLoadsBytesBackAndRemoveDeletes) {
    const auto q = query("token");
    ASSERT_EQ(withInput("secret-tool store --label=elsewhere service " + q.service + " account " +
                            q.account,
                        "from-secret-tool"),
              0);
    EXPECT_EQ(value(keychain, q), "from-secret-tool");
    for (const std::string& stored : {std::string("second"), std::string(), std::string(4096, 'j'),
                                      std::string("tökën-✓-🔑"), std::string("nul\0inside", 10)}) {
        SCOPED_TRACE(stored.size());
        ASSERT_EQ(keychain.store(q, stored, std::nullopt), KeychainStatus::success);
        EXPECT_EQ(value(keychain, q), stored);
        EXPECT_EQ(countItems(q), 1);
    }
    EXPECT_EQ(keychain.remove(q), KeychainStatus::success);
    EXPECT_EQ(keychain.copyMatching(q).status, KeychainStatus::notFound);
    EXPECT_EQ(countItems(q), 0);
    EXPECT_EQ(keychain.remove(q), KeychainStatus::notFound);

    // Its threads sleep while no call runs.
    const std::clock_t before = std::clock();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC, 0.1);
}

TEST_F(SecretServiceKeychainTest, ALockedKeyringAnswersLockedAndKeepsItemsAndARestartedOneServes) {
    const auto existing = query("existing");
    const auto fresh = query("fresh");
    ASSERT_EQ(keychain.store(existing, "old", std::nullopt), KeychainStatus::success);

    busCall("org.freedesktop.secrets", "org.freedesktop.Secret.Service.Lock",
            "['/org/freedesktop/secrets/aliases/default']");
    for (const auto& q : {existing, fresh}) {
        EXPECT_EQ(keychain.copyMatching(q).status, KeychainStatus::locked);
        EXPECT_EQ(keychain.store(q, "new", std::nullopt), KeychainStatus::locked);
        EXPECT_EQ(keychain.remove(q), KeychainStatus::locked);
        EXPECT_EQ(countItems(q), q.account == existing.account ? 1 : 0);
    }
    // No prompter answers on this bus: the prompt is dismissed, the keyring stays locked.
    EXPECT_EQ(keychain.unlock(), KeychainStatus::locked);

    // A new daemon, unlocked with "pw", on a new connection. --unlock forks the daemon (which
    // would keep a captured stdout) and returns before the daemon owns its name.
    ASSERT_EQ(::kill(daemonPid(), SIGTERM), 0);
    for (int i = 0; i < 200 && busCall("org.freedesktop.DBus", "org.freedesktop.DBus.NameHasOwner",
                                       "org.freedesktop.secrets")
                                   .starts_with("(true");
         ++i) {
        std::this_thread::sleep_for(50ms);
    }
    withInput("gnome-keyring-daemon --unlock --components=secrets >/dev/null", "pw");
    output("gdbus wait --session --timeout 10 org.freedesktop.secrets");
    EXPECT_EQ(value(keychain, existing), "old");
    EXPECT_EQ(keychain.store(existing, "after", std::nullopt), KeychainStatus::success);
    EXPECT_EQ(value(keychain, existing), "after");
    EXPECT_EQ(keychain.unlock(), KeychainStatus::success);
}

TEST_F(SecretServiceKeychainTest, AHungKeyringCostsOnlyTheCallersDeadlineAndIsThenLeftBehind) {
    const auto q = query("token");
    ASSERT_EQ(keychain.store(q, "value", std::nullopt), KeychainStatus::success);
    // Stopped while it lives: a detached shell resumes it once our end of its stdin closes,
    // also should the test die first (a ctest time-out kills the test's process tree).
    const pid_t daemon = daemonPid();
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
        // The first call and the prompt wait for the stopped daemon until the deadline; the
        // others may fail at once while an abandoned call still hangs.
        const std::pair<std::function<KeychainStatus()>, bool> calls[] = {
            {[&] { return bounded.copyMatching(q).status; }, true},
            {[&] { return bounded.store(q, "late", std::nullopt); }, false},
            {[&] { return bounded.remove(q); }, false},
            {[&] { return bounded.unlock(); }, true},
        };
        for (const auto& [call, waits] : calls) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(call(), KeychainStatus::failed);
            const auto elapsed = std::chrono::steady_clock::now() - start;
            EXPECT_TRUE(!waits || elapsed > 500ms);
            ASSERT_LT(elapsed, 10s);
        }
    }
    ::kill(daemon, SIGCONT);
    ::pclose(guard);
    // A cancelled call leaves the connection usable.
    EXPECT_EQ(keychain.store(q, "resumed", std::nullopt), KeychainStatus::success);
    EXPECT_EQ(value(keychain, q), "resumed");
}

}  // namespace
}  // namespace zandorin
