// The Secret Service keychain against a real gnome-keyring on the private bus that
// run-with-keyring.sh sets up, driven and inspected from outside the adapter (gdbus,
// secret-tool), so the adapter's own connection is not involved.

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
using platform::KeychainData;
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

std::string secretsCall(const std::string& method, const std::string& argument) {
    return output(
        "gdbus call --session --dest org.freedesktop.secrets --object-path "
        "/org/freedesktop/secrets --method org.freedesktop.Secret.Service." +
        method + " \"" + argument + "\"");
}

std::string daemonCall(const std::string& method) {
    return output(
        "gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus "
        "--method org.freedesktop.DBus." +
        method + " org.freedesktop.secrets");
}

// Never 0 or -1, which kill() would take for whole process groups.
pid_t daemonPid() {
    const std::string reply = daemonCall("GetConnectionUnixProcessID");  // "(uint32 1234,)"
    const auto at = reply.find("uint32 ");
    const long pid = at == std::string::npos ? 0 : std::strtol(reply.c_str() + at + 7, nullptr, 10);
    if (pid <= 1) {
        throw std::runtime_error("no keyring daemon: " + reply);
    }
    return static_cast<pid_t>(pid);
}

// Stopping and starting again also unlocks: the daemon opens the login keyring with "pw".
void restartDaemon() {
    ASSERT_EQ(::kill(daemonPid(), SIGTERM), 0);
    for (int i = 0; i < 200 && daemonCall("NameHasOwner").starts_with("(true"); ++i) {
        std::this_thread::sleep_for(50ms);
    }
    // --unlock forks the daemon (which would keep a captured stdout) and returns before the
    // daemon owns its name.
    withInput("gnome-keyring-daemon --unlock --components=secrets >/dev/null", "pw");
    output("gdbus wait --session --timeout 10 org.freedesktop.secrets");
}

std::string lookup(const KeychainQuery& q) {
    return "secret-tool lookup service " + q.service + " account " + q.account;
}

// Locked items count too.
int countItems(const KeychainQuery& q) {
    const std::string reply = secretsCall(
        "SearchItems", "{'service': '" + q.service + "', 'account': '" + q.account + "'}");
    int count = 0;
    for (auto at = reply.find("/collection/"); at != std::string::npos;
         at = reply.find("/collection/", at + 1)) {
        ++count;
    }
    return count;
}

// Stops the daemon (SIGSTOP) while it lives. A detached shell resumes it once our end of its
// stdin closes, also should the test die first (a ctest time-out kills the test's process tree).
class PausedDaemon {
public:
    explicit PausedDaemon(pid_t daemon)
        : daemon_(daemon),
          guard_(::popen(
              ("setsid -f sh -c 'read x; kill -CONT " + std::to_string(daemon) + "'").c_str(),
              "we")) {
        EXPECT_EQ(::kill(daemon_, SIGSTOP), 0);
    }
    ~PausedDaemon() {
        ::kill(daemon_, SIGCONT);
        ::pclose(guard_);
    }
    PausedDaemon(const PausedDaemon&) = delete;
    PausedDaemon& operator=(const PausedDaemon&) = delete;

private:
    pid_t daemon_;
    FILE* guard_;
};

std::optional<std::string> valueOf(const KeychainData& read) {
    if (read.status != KeychainStatus::success) {
        return std::nullopt;
    }
    return read.data;
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

TEST_F(SecretServiceKeychainTest, StoreReplacesInPlaceLoadsBytesBackAndRemoveDeletes) {
    const auto q = query("token");
    for (const std::string& value :
         {std::string("first"), std::string("second"), std::string(), std::string(4096, 'j'),
          std::string("tökën-✓-🔑"), std::string("nul\0inside", 10)}) {
        SCOPED_TRACE(value.size());
        ASSERT_EQ(keychain.store(q, value, std::nullopt), KeychainStatus::success);
        EXPECT_EQ(valueOf(keychain.copyMatching(q)), value);
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

TEST_F(SecretServiceKeychainTest, OtherProcessesShareTheItems) {
    // The local proxy reads the core's token items with secret-tool.
    const KeychainQuery access{kService, std::string(kService) + ".access_token"};
    ASSERT_EQ(keychain.store(access, "tökën-ü-€-🔑", std::nullopt), KeychainStatus::success);
    EXPECT_EQ(output(lookup(access)), "tökën-ü-€-🔑");
    EXPECT_EQ(keychain.remove(access), KeychainStatus::success);

    const auto foreign = query("foreign");
    ASSERT_EQ(withInput("secret-tool store --label=elsewhere service " + foreign.service +
                            " account " + foreign.account,
                        "from-secret-tool"),
              0);
    EXPECT_EQ(valueOf(keychain.copyMatching(foreign)), "from-secret-tool");

    // That item has no schema attribute, so the provider's own replace would miss it.
    ASSERT_EQ(keychain.store(foreign, "from-adapter", std::nullopt), KeychainStatus::success);
    EXPECT_EQ(countItems(foreign), 1);
    EXPECT_EQ(output(lookup(foreign)), "from-adapter");
}

TEST_F(SecretServiceKeychainTest, ALockedKeyringAnswersLockedAndKeepsItemsAndARestartedOneServes) {
    const auto existing = query("existing");
    const auto fresh = query("fresh");
    ASSERT_EQ(keychain.store(existing, "old", std::nullopt), KeychainStatus::success);

    secretsCall("Lock", "['/org/freedesktop/secrets/aliases/default']");
    // Told apart from "no item", so that a start can say the keyring is locked.
    EXPECT_EQ(keychain.copyMatching(existing).status, KeychainStatus::locked);
    EXPECT_EQ(keychain.copyMatching(fresh).status, KeychainStatus::locked);
    EXPECT_EQ(keychain.store(existing, "new", std::nullopt), KeychainStatus::locked);
    EXPECT_EQ(keychain.store(fresh, "new", std::nullopt), KeychainStatus::locked);
    EXPECT_EQ(keychain.remove(existing), KeychainStatus::locked);
    EXPECT_EQ(countItems(existing), 1);
    EXPECT_EQ(countItems(fresh), 0);
    // Without a display the prompter gives up at once: dismissed, still locked.
    EXPECT_EQ(keychain.unlock(), KeychainStatus::locked);

    restartDaemon();  // unlocked again, on a new connection
    EXPECT_EQ(valueOf(keychain.copyMatching(existing)), "old");
    EXPECT_EQ(keychain.store(existing, "after", std::nullopt), KeychainStatus::success);
    EXPECT_EQ(valueOf(keychain.copyMatching(existing)), "after");
    EXPECT_EQ(keychain.unlock(), KeychainStatus::success);
}

TEST_F(SecretServiceKeychainTest, AHungKeyringCostsOnlyTheCallersDeadlineAndIsThenLeftBehind) {
    struct Caller {
        bool mainThread;
        SecretServiceKeychain::Options options;
    };
    // The other deadline is far beyond the bound, so picking the wrong one fails the test.
    const Caller callers[] = {
        {true, {.mainThreadDeadline = 1s, .backgroundDeadline = 60s, .unlockDeadline = 1s}},
        {false, {.mainThreadDeadline = 60s, .backgroundDeadline = 1s, .unlockDeadline = 1s}},
    };
    const auto q = query("token");
    ASSERT_EQ(keychain.store(q, "value", std::nullopt), KeychainStatus::success);
    {
        const PausedDaemon paused(daemonPid());
        for (const auto& caller : callers) {
            SCOPED_TRACE(caller.mainThread ? "main thread" : "background");
            SecretServiceKeychain bounded{[&] { return caller.mainThread; }, caller.options};
            // The first call and the prompt wait for the stopped daemon until the deadline;
            // the others may fail at once while an abandoned call still hangs.
            const std::pair<std::function<bool()>, bool> calls[] = {
                {[&] { return bounded.copyMatching(q).status == KeychainStatus::failed; }, true},
                {[&] { return bounded.store(q, "late", std::nullopt) == KeychainStatus::failed; },
                 false},
                {[&] { return bounded.remove(q) == KeychainStatus::failed; }, false},
                {[&] { return bounded.unlock() == KeychainStatus::failed; }, true},
            };
            for (const auto& [call, waits] : calls) {
                const auto start = std::chrono::steady_clock::now();
                EXPECT_TRUE(call());
                const auto elapsed = std::chrono::steady_clock::now() - start;
                if (waits) {
                    EXPECT_GT(elapsed, 500ms);
                }
                ASSERT_LT(elapsed, 10s);
            }
        }
    }
    // A cancelled call leaves the connection usable.
    EXPECT_EQ(keychain.store(q, "resumed", std::nullopt), KeychainStatus::success);
    EXPECT_EQ(valueOf(keychain.copyMatching(q)), "resumed");
}

}  // namespace
}  // namespace zandorin
