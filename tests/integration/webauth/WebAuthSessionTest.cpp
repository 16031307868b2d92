// Which session a callback URL completes, against a real main queue (offscreen platform), and
// which directories the instance socket may live in.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include "adapters/qt/QtApplicationHost.h"
#include "adapters/qt/QtInstanceChannel.h"
#include "adapters/qt/QtWebAuthSession.h"

namespace {

using zandorin::adapters::QtApplicationHost;
using zandorin::adapters::QtWebAuthSessionFactory;
using zandorin::platform::WebAuthError;
using zandorin::platform::WebAuthSession;
namespace fs = std::filesystem;

QtApplicationHost* host = nullptr;

constexpr const char* kCallback = "zandorin-auth://callback?code=abc&iss=https%3A%2F%2Fidp";

void drainMainQueue() {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 50) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
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

    std::vector<std::string> opened;
    bool browserWorks = true;
    std::map<std::string, std::vector<std::string>> outcomes;
    QtWebAuthSessionFactory factory_{host->mainQueue(), [this](const std::string& url) {
                                         opened.push_back(url);
                                         return browserWorks;
                                     }};
};

TEST_F(SessionTest, OnlyAUrlOfTheCallbackSchemeCompletesAndItArrivesUnchanged) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {kCallback, true},
        {"ZANDORIN-Auth://callback?code=abc", true},
        {"zandorin-auth:callback?error=access_denied", true},
        {"https://idp.example/callback?code=abc", false},
        {"zandorin-authx://callback?code=abc", false},
        {"zandorin-auth", false},
        {" zandorin-auth://callback", false},
    };
    for (const auto& [received, completes] : cases) {
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

    EXPECT_TRUE(factory_.deliver(std::string(kCallback) + "1"));
    EXPECT_TRUE(factory_.deliver(std::string(kCallback) + "2"));
    oldest.reset();
    EXPECT_FALSE(factory_.deliver(std::string(kCallback) + "3"));
    drainMainQueue();

    EXPECT_EQ(outcomes, (std::map<std::string, std::vector<std::string>>{
                            {"older", {"url " + std::string(kCallback) + "1"}},
                            {"oldest", {"url " + std::string(kCallback) + "2"}}}));
    EXPECT_FALSE(older->start()) << "a session starts once";
}

TEST_F(SessionTest, ABrowserThatCannotBeOpenedFailsTheSessionOnceFromTheMainQueue) {
    browserWorks = false;
    auto s = session("s");
    auto dropped = session("dropped");
    EXPECT_EQ(opened.size(), 2U);
    EXPECT_EQ(opened[0], "https://idp.example/authorize?state=s");
    EXPECT_TRUE(outcomes.empty()) << "not from inside start()";
    EXPECT_FALSE(factory_.deliver(kCallback));
    dropped.reset();
    drainMainQueue();
    EXPECT_EQ(outcomes, (std::map<std::string, std::vector<std::string>>{
                            {"s", {"error could not open the web browser"}}}));
}

TEST(InstanceDirectory, APrivateRuntimeDirectoryOrElseAFallbackThatIsOursAlone) {
    char pattern[] = "/tmp/zandorin-dirtest-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    const fs::path runtime = root / "runtime";
    const fs::path loose = root / "loose";
    const fs::path elsewhere = root / "elsewhere";
    for (const auto& dir : {runtime, loose, elsewhere}) {
        fs::create_directory(dir);
        fs::permissions(dir, dir == loose ? fs::perms::all : fs::perms::owner_all);
    }
    const fs::path fallback = root / ("zandorin-auth-" + std::to_string(::getuid()));
    auto resolve = [&](const char* runtimeDir) {
        return zandorin::adapters::resolveInstanceDirectory(runtimeDir, root.string(), ::getuid());
    };
    auto mode = [](const fs::path& path) {
        struct stat info {};
        return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0U;
    };

    EXPECT_EQ(resolve(runtime.c_str()).path, (runtime / "zandorin-auth").string());
    EXPECT_EQ(mode(runtime / "zandorin-auth"), 0700U);
    for (const char* unfit : {static_cast<const char*>(nullptr), "", "relative", loose.c_str(),
                              (root / "missing").c_str()}) {
        EXPECT_EQ(resolve(unfit).path, fallback.string()) << (unfit ? unfit : "(unset)");
        EXPECT_EQ(mode(fallback), 0700U);
    }

    std::vector<std::pair<std::function<void()>, std::string>> refused = {
        {[&] { fs::create_directory_symlink(elsewhere, fallback); }, "is a symbolic link"},
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
    ::testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QtApplicationHost app(argc, argv);
    host = &app;
    return RUN_ALL_TESTS();
}
