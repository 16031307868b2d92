#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "KeyringProbe.h"
#include "adapters/secretservice/SecretServiceKeychain.h"

namespace zandorin {
namespace {

using adapters::SecretServiceKeychain;
using integration::KeyringProbe;
using integration::runProcess;
using platform::KeychainQuery;
using platform::KeychainStatus;
using namespace std::chrono_literals;

constexpr const char* kService = "com.zandorin.auth";

const SecretServiceKeychain::Options kTestDeadlines{.mainThreadDeadline = 1500ms,
                                                    .backgroundDeadline = 10s};

class SecretServiceKeychainTest : public ::testing::Test {
protected:
    // Accounts unique to the running test, so tests sharing the daemon do not see each other.
    static KeychainQuery query(const std::string& key) {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        return {kService, std::string(kService) + "." + test->name() + "." + key};
    }

    int count(const KeychainQuery& q) { return keyring.countItems(q.service, q.account); }

    KeyringProbe keyring;
    SecretServiceKeychain keychain{[] { return false; }, kTestDeadlines};
};

TEST_F(SecretServiceKeychainTest, StoreReplacesTheItemAndLoadsBytesBack) {
    const auto q = query("token");
    const std::string values[] = {
        "first", "second", "", std::string(4096, 'j'), "tökën-✓-🔑", std::string("nul\0inside", 10),
    };
    for (const auto& value : values) {
        SCOPED_TRACE(value.size());
        ASSERT_EQ(keychain.store(q, value, std::nullopt), KeychainStatus::success);
        EXPECT_EQ(keychain.copyMatching(q), value);
        EXPECT_EQ(count(q), 1);
    }
}

TEST_F(SecretServiceKeychainTest, OtherProcessesShareTheItems) {
    // The local proxy reads the core's token items with secret-tool.
    const KeychainQuery access{kService, std::string(kService) + ".access_token"};
    for (const std::string token : {"access-token-ascii", "tökën-ü-€-🔑"}) {
        ASSERT_EQ(keychain.store(access, token, std::nullopt), KeychainStatus::success);
        const auto read = runProcess(
            {"secret-tool", "lookup", "service", access.service, "account", access.account});
        EXPECT_EQ(read.status, 0);
        EXPECT_EQ(read.output, token);
    }
    EXPECT_EQ(keychain.remove(access), KeychainStatus::success);

    const auto foreign = query("foreign");
    ASSERT_EQ(runProcess({"secret-tool", "store", "--label=written elsewhere", "service",
                          foreign.service, "account", foreign.account},
                         "from-secret-tool")
                  .status,
              0);
    EXPECT_EQ(keychain.copyMatching(foreign), "from-secret-tool");

    // That item has no schema attribute, so the provider's own replace would miss it.
    ASSERT_EQ(keychain.store(foreign, "from-adapter", std::nullopt), KeychainStatus::success);
    EXPECT_EQ(count(foreign), 1);
    EXPECT_EQ(runProcess(
                  {"secret-tool", "lookup", "service", foreign.service, "account", foreign.account})
                  .output,
              "from-adapter");
}

TEST_F(SecretServiceKeychainTest, MissingItemsAndRemoval) {
    const auto kept = query("kept");
    const auto removed = query("removed");
    const auto missing = query("missing");
    ASSERT_EQ(keychain.store(kept, "k", std::nullopt), KeychainStatus::success);
    ASSERT_EQ(keychain.store(removed, "r", std::nullopt), KeychainStatus::success);

    EXPECT_EQ(keychain.copyMatching(missing), std::nullopt);
    EXPECT_EQ(keychain.remove(missing), KeychainStatus::notFound);

    EXPECT_EQ(keychain.remove(removed), KeychainStatus::success);
    EXPECT_EQ(keychain.copyMatching(removed), std::nullopt);
    EXPECT_EQ(count(removed), 0);
    EXPECT_EQ(keychain.remove(removed), KeychainStatus::notFound);

    EXPECT_EQ(keychain.copyMatching(kept), "k");
}

TEST_F(SecretServiceKeychainTest, LockedKeyringRefusesAndKeepsItems) {
    const auto existing = query("existing");
    const auto fresh = query("fresh");
    ASSERT_EQ(keychain.store(existing, "old", std::nullopt), KeychainStatus::success);

    keyring.lockDefaultCollection();
    struct Unlock {
        KeyringProbe& keyring;
        ~Unlock() { keyring.unlockDefaultCollection(); }
    } unlockAtExit{keyring};

    EXPECT_EQ(keychain.copyMatching(existing), std::nullopt);
    EXPECT_EQ(keychain.store(existing, "new", std::nullopt), KeychainStatus::failed);
    EXPECT_EQ(keychain.store(fresh, "new", std::nullopt), KeychainStatus::failed);
    EXPECT_EQ(keychain.remove(existing), KeychainStatus::failed);
    EXPECT_EQ(count(existing), 1);
    EXPECT_EQ(count(fresh), 0);

    keyring.unlockDefaultCollection();
    EXPECT_EQ(keychain.copyMatching(existing), "old");
}

TEST_F(SecretServiceKeychainTest, SurvivesKeyringDaemonRestart) {
    const auto q = query("token");
    ASSERT_EQ(keychain.store(q, "before", std::nullopt), KeychainStatus::success);

    keyring.stopDaemon();
    keyring.startDaemon();

    EXPECT_EQ(keychain.copyMatching(q), "before");
    EXPECT_EQ(keychain.store(q, "after", std::nullopt), KeychainStatus::success);
    EXPECT_EQ(keychain.copyMatching(q), "after");
}

TEST_F(SecretServiceKeychainTest, HungKeyringCostsOnlyTheCallersDeadline) {
    struct Caller {
        const char* name;
        bool mainThread;
        SecretServiceKeychain::Options options;
    };
    // The other deadline is far beyond the bound, so picking the wrong one fails the test.
    const Caller callers[] = {
        {"main thread", true, {.mainThreadDeadline = 1s, .backgroundDeadline = 60s}},
        {"background", false, {.mainThreadDeadline = 60s, .backgroundDeadline = 1s}},
    };
    const auto q = query("token");
    ASSERT_EQ(keychain.store(q, "value", std::nullopt), KeychainStatus::success);

    std::optional<integration::PausedDaemon> paused{std::in_place, keyring.daemonPid()};

    for (const auto& caller : callers) {
        SCOPED_TRACE(caller.name);
        SecretServiceKeychain bounded{[&] { return caller.mainThread; }, caller.options};
        const std::function<bool()> calls[] = {
            [&] { return bounded.copyMatching(q) == std::nullopt; },
            [&] { return bounded.store(q, "late", std::nullopt) == KeychainStatus::failed; },
            [&] { return bounded.remove(q) == KeychainStatus::failed; },
        };
        for (const auto& call : calls) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_TRUE(call());
            const auto elapsed = std::chrono::steady_clock::now() - start;
            EXPECT_GT(elapsed, 500ms);  // it really waited on the stopped daemon
            ASSERT_LT(elapsed, 10s);
        }
    }

    // A cancelled call leaves the connection usable.
    paused.reset();
    EXPECT_EQ(keychain.store(q, "resumed", std::nullopt), KeychainStatus::success);
    EXPECT_EQ(keychain.copyMatching(q), "resumed");
}

TEST_F(SecretServiceKeychainTest, ConcurrentCallersKeepTheirOwnItems) {
    constexpr int workers = 4;
    constexpr int rounds = 10;
    std::vector<KeychainQuery> queries;
    queries.reserve(workers);
    for (int worker = 0; worker < workers; ++worker) {
        queries.push_back(query("worker" + std::to_string(worker)));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    threads.reserve(workers);
    for (const auto& q : queries) {
        threads.emplace_back([&] {
            for (int round = 0; round < rounds; ++round) {
                const std::string value = q.account + "#" + std::to_string(round);
                if (keychain.store(q, value, std::nullopt) != KeychainStatus::success ||
                    keychain.copyMatching(q) != value) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, 0);
    for (const auto& q : queries) {
        EXPECT_EQ(count(q), 1);
    }
}

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST_F(SecretServiceKeychainTest, RoundTripCostAndIdleWatchdog) {
    using Millis = std::chrono::duration<double, std::milli>;
    const auto q = query("token");
    constexpr int rounds = 20;
    Millis storing{};
    Millis loading{};
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(keychain.store(q, "value-" + std::to_string(round), std::nullopt),
                  KeychainStatus::success);
        const auto stored = std::chrono::steady_clock::now();
        ASSERT_TRUE(keychain.copyMatching(q).has_value());
        storing += stored - start;
        loading += std::chrono::steady_clock::now() - stored;
    }
    std::cout << "store: " << storing.count() / rounds << " ms, load: " << loading.count() / rounds
              << " ms\n";

    // Nothing may spin while no call runs.
    const double before = cpuSeconds();
    std::this_thread::sleep_for(1s);
    const double idle = cpuSeconds() - before;
    std::cout << "CPU while idle for 1 s: " << idle * 1000 << " ms\n";
    EXPECT_LT(idle, 0.1);
}

TEST(SecretServiceKeychainTrustedApplication, NamesOnlyExecutableFiles) {
    SecretServiceKeychain keychain{[] { return true; }};
    EXPECT_EQ(keychain.trustedApplication(std::nullopt)->path,
              std::filesystem::canonical(program_invocation_name).string());

    const auto dir =
        std::filesystem::temp_directory_path() / ("zandorin-trusted-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    struct Cleanup {
        std::filesystem::path dir;
        ~Cleanup() { std::filesystem::remove_all(dir); }
    } cleanup{dir};
    auto file = [&](const char* name, std::filesystem::perms perms) {
        std::ofstream(dir / name) << "#!/bin/sh\nexit 0\n";
        std::filesystem::permissions(dir / name, perms);
        return (dir / name).string();
    };
    using std::filesystem::perms;
    const std::string script = file("script", perms::owner_all | perms::group_read);
    const std::string plain = file("plain", perms::owner_read | perms::owner_write);

    struct Case {
        std::string path;
        bool trusted;
    };
    // A directory passes the X_OK check too.
    const Case cases[] = {
        {script, true},        {plain, false}, {(dir / "missing").string(), false},
        {dir.string(), false}, {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto app = keychain.trustedApplication(c.path);
        EXPECT_EQ(app.has_value(), c.trusted);
        if (app) {
            EXPECT_EQ(app->path, c.path);
        }
    }
}

}  // namespace
}  // namespace zandorin
