// Sign-in sessions and the single-instance directory against a real event loop (offscreen
// platform): what the end-to-end tests do not provoke.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
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

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
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
    char pattern[] = "/tmp/zandorin-webauth-XXXXXX";
    const fs::path root = ::mkdtemp(pattern);
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

}  // namespace

int main(int argc, char** argv) {
    return zandorin::test::runQtTests(argc, argv, host);
}
