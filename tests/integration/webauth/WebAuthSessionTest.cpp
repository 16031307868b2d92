// Sign-in sessions and the single-instance socket against a real event loop (offscreen
// platform): what the end-to-end sign-in does not provoke. Later processes are played by other
// threads, raw clients by plain sockets.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "adapters/qt/QtApplicationHost.h"
#include "adapters/qt/QtInstanceChannel.h"
#include "adapters/qt/QtWebAuthSession.h"
#include "support/qt/QtTestLoop.h"

namespace {

using namespace std::chrono_literals;
using zandorin::adapters::InstanceRole;
using zandorin::adapters::QtInstanceChannel;
using zandorin::platform::WebAuthError;
using zandorin::platform::WebAuthSession;
using zandorin::test::runUntil;
namespace fs = std::filesystem;
using Outcomes = std::map<std::string, std::vector<std::string>>;

zandorin::adapters::QtApplicationHost* host = nullptr;

const std::string kCallback = "zandorin-auth://callback?code=abc&iss=https%3A%2F%2Fidp";

void drainMainQueue() {
    runUntil([] { return false; }, 50ms);
}

fs::path tempDirectory() {
    char pattern[] = "/tmp/zandorin-webauth-XXXXXX";
    EXPECT_NE(::mkdtemp(pattern), nullptr);
    return pattern;
}

unsigned modeOf(const fs::path& path, bool socket = false) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || (socket && !S_ISSOCK(info.st_mode))) {
        return 0;
    }
    return info.st_mode & 07777;
}

class SessionTest : public ::testing::Test {
protected:
    // Started (when `start`) with its outcomes noted under `name` as "url <url>" or
    // "error <text>", and "!" added when not on the main thread.
    std::unique_ptr<WebAuthSession> session(const std::string& name, bool start = true,
                                            const std::string& scheme = "zandorin-auth") {
        auto s = factory_.makeSession(
            "https://idp.example/authorize?state=" + name, scheme,
            [this, name](const std::optional<std::string>& url,
                         const std::optional<WebAuthError>& error) {
                outcomes[name].push_back(
                    (url ? "url " + *url : "error " + error->localizedDescription) +
                    (host->mainQueue().isMainThread() ? "" : "!"));
            });
        if (start) {
            EXPECT_EQ(s->start(), browserWorks);
        }
        return s;
    }

    bool browserWorks = true;
    Outcomes outcomes;
    zandorin::adapters::QtWebAuthSessionFactory factory_{
        host->mainQueue(), [this](const std::string& /*url*/) { return browserWorks; }};
};

TEST_F(SessionTest, OnlyAUrlOfTheCallbackSchemeCompletesAndItArrivesUnchanged) {
    for (const auto& [received, completes] : std::vector<std::pair<std::string, bool>>{
             {kCallback, true},
             {"ZANDORIN-Auth://callback?code=abc", true},
             {"zandorin-auth:callback?error=access_denied", true},
             {"https://idp.example/callback?code=abc", false},
             {"zandorin-authx://callback?code=abc", false},
             {"zandorin-auth", false},
             {" zandorin-auth://callback", false},
         }) {
        SCOPED_TRACE(received);
        outcomes.clear();
        auto s = session("s");
        EXPECT_EQ(factory_.deliver(received), completes);
        drainMainQueue();
        EXPECT_EQ(outcomes["s"],
                  completes ? std::vector{"url " + received} : std::vector<std::string>{});
    }
}

TEST_F(SessionTest, TheNewestWaitingSessionGetsTheUrlEachOnlyOnceAndDestroyedOnesNever) {
    auto oldest = session("oldest");
    auto older = session("older");
    auto newer = session("newer");
    auto other = session("other", true, "otherscheme");
    auto unstarted = session("unstarted", false);
    newer.reset();

    EXPECT_TRUE(factory_.deliver(kCallback + "1"));
    EXPECT_TRUE(factory_.deliver(kCallback + "2"));
    oldest.reset();
    EXPECT_FALSE(factory_.deliver(kCallback + "3"));
    drainMainQueue();

    EXPECT_EQ(outcomes, (Outcomes{{"older", {"url " + kCallback + "1"}},
                                  {"oldest", {"url " + kCallback + "2"}}}));
    EXPECT_FALSE(older->start()) << "a session starts once";
}

TEST_F(SessionTest, ABrowserThatCannotBeOpenedFailsTheSessionOnceFromTheMainQueue) {
    browserWorks = false;
    auto s = session("s");
    auto dropped = session("dropped");
    EXPECT_TRUE(outcomes.empty()) << "not from inside start()";
    EXPECT_FALSE(factory_.deliver(kCallback));
    dropped.reset();
    drainMainQueue();
    EXPECT_EQ(outcomes, (Outcomes{{"s", {"error could not open the web browser"}}}));
}

TEST(InstanceDirectory, APrivateRuntimeDirectoryOrElseAFallbackThatIsOursAlone) {
    const fs::path root = tempDirectory();
    const fs::path runtime = root / "runtime";
    const fs::path loose = root / "loose";
    fs::create_directory(runtime);
    fs::create_directory(loose);
    fs::permissions(runtime, fs::perms::owner_all);
    fs::permissions(loose, fs::perms::all);
    const fs::path fallback = root / ("zandorin-auth-" + std::to_string(::getuid()));
    auto resolve = [&](const char* runtimeDir) {
        return zandorin::adapters::resolveInstanceDirectory(runtimeDir, root.string(), ::getuid());
    };

    EXPECT_EQ(resolve(runtime.c_str()).path, (runtime / "zandorin-auth").string());
    EXPECT_EQ(modeOf(runtime / "zandorin-auth"), 0700U);
    for (const char* unfit : {static_cast<const char*>(nullptr), "", "relative", loose.c_str(),
                              (root / "missing").c_str()}) {
        EXPECT_EQ(resolve(unfit).path, fallback.string()) << (unfit ? unfit : "(unset)");
        EXPECT_EQ(modeOf(fallback), 0700U);
    }

    std::vector<std::pair<std::function<void()>, std::string>> refused = {
        {[&] { fs::create_directory_symlink(runtime, fallback); }, "is a symbolic link"},
        {[&] { std::fclose(std::fopen(fallback.c_str(), "w")); }, "is not a directory"},
        {[&] {
             fs::create_directory(fallback);
             fs::permissions(fallback, fs::perms::all);
         },
         "is open to other users (mode 0777)"},
    };
    if (::getuid() == 0) {
        refused.emplace_back(
            [&] {
                fs::create_directory(fallback);
                ASSERT_EQ(::chown(fallback.c_str(), 65534, 65534), 0);
            },
            "belongs to user 65534");
    }
    for (const auto& [make, problem] : refused) {
        fs::remove_all(fallback);
        make();
        const auto found = resolve(nullptr);
        EXPECT_FALSE(found.path) << problem;
        EXPECT_EQ(found.problem, fallback.string() + " " + problem);
    }
    fs::remove_all(root);
}

// A socket of our own at `path`: connected to it, or (`bindOnly`) bound there as a crashed
// instance leaves its socket, with nobody listening.
int unixSocket(const std::string& path, bool bindOnly = false) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    auto* where = reinterpret_cast<sockaddr*>(&address);
    EXPECT_EQ(bindOnly ? ::bind(fd, where, sizeof address) : ::connect(fd, where, sizeof address),
              0)
        << std::strerror(errno);
    return fd;
}

// Whether the primary has hung up on a raw client that it never answered.
bool hungUp(int fd) {
    char byte = 0;
    const auto n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN);
}

class InstanceTest : public ::testing::Test {
protected:
    void TearDown() override {
        primary.reset();
        fs::remove_all(dir);
    }

    // Silent peers are dropped after 2 s; a later process would wait 10 s for its answer.
    std::unique_ptr<QtInstanceChannel> channel() {
        return std::make_unique<QtInstanceChannel>(
            QtInstanceChannel::Options{
                .directory = dir, .readTimeout = 2s, .ackTimeout = 10s, .maxClients = 4},
            [this](const std::string& line) { received.push_back(line); },
            [this] { received.push_back("(quit)"); });
    }

    // A later process, on another thread while this one serves the primary.
    InstanceRole later(const std::vector<std::string>& arguments) {
        auto role = std::async(std::launch::async, [&] { return channel()->claim(arguments); });
        EXPECT_TRUE(runUntil([&] { return role.wait_for(0s) == std::future_status::ready; }, 15s));
        return role.get();
    }

    const fs::path dir = tempDirectory();
    std::unique_ptr<QtInstanceChannel> primary;
    std::vector<std::string> received;
};

// A crashed instance's socket is taken over; a process that has just started has no sign-in
// waiting for its own argument; a later one hands on a single argument only.
TEST_F(InstanceTest, TheFirstTakesOverALeftSocketAndOnlyALaterOnesSingleArgumentReachesIt) {
    ::close(unixSocket(dir / "instance", true));
    primary = channel();
    ASSERT_EQ(primary->claim({kCallback}), InstanceRole::primary);
    EXPECT_EQ(modeOf(primary->socketPath(), true), 0700U);

    EXPECT_EQ(later({}), InstanceRole::alreadyRunning);
    EXPECT_EQ(later({"one", "two"}), InstanceRole::alreadyRunning);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(later({kCallback}), InstanceRole::handedOff);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "waited out its answer";
    drainMainQueue();
    EXPECT_EQ(received, std::vector<std::string>{kCallback});
}

TEST_F(InstanceTest, RawClientsNeitherStallNorBreakThePrimary) {
    primary = channel();
    ASSERT_EQ(primary->claim({}), InstanceRole::primary);
    const std::string path = primary->socketPath();
    auto connectAndSend = [&](const std::string& bytes) {
        const int fd = unixSocket(path);
        EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
        return fd;
    };
    const int silent = connectAndSend(kCallback);  // never a newline
    const int binary = connectAndSend(kCallback + "\xff\xfe\n");
    ::close(connectAndSend("gone before the answer\n"));
    const int oversized = connectAndSend(std::string(3 * QtInstanceChannel::kMaxMessage, 'z'));
    EXPECT_TRUE(runUntil([&] { return hungUp(oversized); }, 1s)) << "read on past the limit";

    std::vector<int> flood;  // more than are read at once: turned away, not queued
    for (int i = 0; i < 8; ++i) {
        flood.push_back(unixSocket(path));
    }
    auto turnedAway = [&] { return std::count_if(flood.begin(), flood.end(), hungUp); };
    EXPECT_TRUE(runUntil([&] { return turnedAway() >= 5; }, 1s)) << turnedAway();
    flood.push_back(silent);
    EXPECT_TRUE(runUntil([&] { return turnedAway() == 9; }, 5s)) << "silent peers kept";

    char answer[8] = {};
    EXPECT_EQ(::recv(binary, answer, sizeof answer, 0), 3);  // answered, then dropped
    EXPECT_STREQ(answer, "ok\n");
    EXPECT_EQ(later({kCallback}), InstanceRole::handedOff);
    drainMainQueue();
    EXPECT_EQ(received, (std::vector<std::string>{"gone before the answer", kCallback}));
    for (const int fd : flood) {
        ::close(fd);
    }
    ::close(binary);
    ::close(oversized);
}

}  // namespace

int main(int argc, char** argv) {
    return zandorin::test::runQtTests(argc, argv, host);
}
