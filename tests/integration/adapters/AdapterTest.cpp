#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "adapters/curl/CurlUrlParser.h"
#include "adapters/plist/PlistBundleInfo.h"
#include "adapters/std/ThreadPoolExecutor.h"

namespace zandorin::adapters {
namespace {

class TempFile {
public:
    explicit TempFile(const std::string& contents)
        : path_(
              std::filesystem::temp_directory_path() /
              ("zandorin-plist-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++))) {
        std::ofstream(path_, std::ios::binary) << contents;
    }
    ~TempFile() { std::filesystem::remove(path_); }
    std::string path() const { return path_.string(); }

private:
    static inline int counter_ = 0;
    std::filesystem::path path_;
};

std::string plist(const std::string& body) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>)" +
           body + "</dict></plist>";
}

TEST(PlistBundleInfoTest, OnlyStringValuesAreFound) {
    TempFile file(plist(R"(
        <key>KEYCLOAK_ISSUER</key><string>http://127.0.0.1:1/realms/r/</string>
        <key>MCP_SERVER_URL</key><integer>42</integer>
        <key>EMPTY</key><string></string>
        <key>NESTED</key><dict><key>A</key><string>b</string></dict>
        <key>CJK</key><string>知識庫</string>)"));
    PlistBundleInfo info(file.path());
    EXPECT_FALSE(info.loadError());
    EXPECT_EQ(info.stringValue("KEYCLOAK_ISSUER"), "http://127.0.0.1:1/realms/r/");  // unchanged
    EXPECT_EQ(info.stringValue("MCP_SERVER_URL"), std::nullopt);
    EXPECT_EQ(info.stringValue("EMPTY"), "");
    EXPECT_EQ(info.stringValue("NESTED"), std::nullopt);
    EXPECT_EQ(info.stringValue("A"), std::nullopt);
    EXPECT_EQ(info.stringValue("CJK"), "知識庫");
    EXPECT_EQ(info.stringValue("MISSING"), std::nullopt);
}

TEST(PlistBundleInfoTest, UnreadableFilesGiveNoValuesAndSayWhy) {
    const std::vector<std::string> bad = {"", "not a plist", "<plist><array/></plist>",
                                          "<plist><dict><key>A</key><string>b</string>"};
    for (const auto& contents : bad) {
        TempFile file(contents);
        PlistBundleInfo info(file.path());
        EXPECT_TRUE(info.loadError()) << contents;
        EXPECT_EQ(info.stringValue("A"), std::nullopt) << contents;
    }
    PlistBundleInfo missing("/nonexistent/Info.plist");
    EXPECT_TRUE(missing.loadError());
}

TEST(PlistBundleInfoTest, TheReleasedInfoPlistHoldsHttpsDefaults) {
    PlistBundleInfo info(std::string(ZANDORIN_SOURCE_DIR) + "/resources/Info.plist");
    ASSERT_FALSE(info.loadError());
    const auto issuer = info.stringValue("KEYCLOAK_ISSUER");
    const auto service = info.stringValue("MCP_SERVER_URL");
    ASSERT_TRUE(issuer && service);
    EXPECT_TRUE(issuer->starts_with("https://"));
    EXPECT_NE(issuer->find("/realms/"), std::string::npos);
    EXPECT_TRUE(service->starts_with("https://"));
    EXPECT_EQ(service->find('/', 8), std::string::npos);  // no path
}

TEST(CurlUrlParserTest, AbsoluteUrlsOfAnySchemeOnly) {
    struct Case {
        std::string text;
        bool forms;
    };
    const std::vector<Case> cases = {
        {"https://example.com/a?b=c#d", true},
        {"http://127.0.0.1:8080/realms/r/protocol/openid-connect/auth", true},
        {"zandorin-auth://callback?code=abc&iss=http%3A%2F%2F127.0.0.1", true},
        {"https://例子.測試/路徑", true},
        {"", false},
        {"not a url", false},
        {"example.com/path", false},
        {"/relative/path", false},
        {"https://exa mple.com", false},
        {"https://", false},
    };
    CurlUrlParser parser;
    for (const auto& c : cases) {
        EXPECT_EQ(parser.parse(c.text).has_value(), c.forms) << c.text;
    }
    const auto callback = parser.parse("zandorin-auth://callback?code=x&state=y");
    ASSERT_TRUE(callback);
    EXPECT_EQ(callback->scheme, "zandorin-auth");
    EXPECT_EQ(callback->host, "callback");
    EXPECT_EQ(callback->query, "code=x&state=y");
}

TEST(ThreadPoolExecutorTest, RunsEveryTaskOffTheCallingThread) {
    std::atomic<int> done{0};
    std::atomic<int> onCaller{0};
    const auto caller = std::this_thread::get_id();
    {
        ThreadPoolExecutor pool(3);
        for (int i = 0; i < 200; ++i) {
            pool.run([&] {
                onCaller += std::this_thread::get_id() == caller ? 1 : 0;
                ++done;
            });
        }
        for (int i = 0; i < 500 && done.load() < 200; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_EQ(done.load(), 200);
    EXPECT_EQ(onCaller.load(), 0);
}

}  // namespace
}  // namespace zandorin::adapters
