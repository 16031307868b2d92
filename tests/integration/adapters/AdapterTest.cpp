#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "adapters/curl/CurlUrlParser.h"
#include "adapters/plist/PlistBundleInfo.h"
#include "adapters/std/ThreadPoolExecutor.h"

namespace zandorin::adapters {
namespace {

// The info list as read from a file with these contents.
PlistBundleInfo bundleFrom(const std::string& contents) {
    const auto path =
        std::filesystem::temp_directory_path() / ("zandorin-plist-" + std::to_string(::getpid()));
    std::ofstream(path, std::ios::binary) << contents;
    PlistBundleInfo info(path.string());
    std::filesystem::remove(path);
    return info;
}

TEST(PlistBundleInfoTest, OnlyStringValuesAreFound) {
    const auto info = bundleFrom(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
    <key>KEYCLOAK_ISSUER</key><string>http://127.0.0.1:1/realms/r/</string>
    <key>MCP_SERVER_URL</key><integer>42</integer>
    <key>EMPTY</key><string></string>
    <key>NESTED</key><dict><key>A</key><string>b</string></dict>
    <key>CJK</key><string>知識庫</string>
</dict></plist>)");
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
    using namespace std::string_literals;
    for (const std::string& contents :
         {""s, "not a plist"s, "<plist><array/></plist>"s,
          "<plist><dict><key>A</key><string>b</string>"s,
          // libplist reads a NUL in a key or string, then aborts when asked for the text.
          "<plist><dict><key>A\0B</key><string>b</string></dict></plist>"s,
          "<plist><dict><key>A</key><string>b\0c</string></dict></plist>"s}) {
        const auto info = bundleFrom(contents);
        EXPECT_TRUE(info.loadError()) << contents;
        EXPECT_EQ(info.stringValue("A"), std::nullopt) << contents;
    }
    EXPECT_TRUE(PlistBundleInfo("/nonexistent/Info.plist").loadError());
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
    CurlUrlParser parser;
    for (const char* url : {"https://example.com/a?b=c#d", "https://例子.測試/路徑",
                            "zandorin-auth://callback?code=abc&iss=http%3A%2F%2F127.0.0.1"}) {
        EXPECT_TRUE(parser.parse(url)) << url;
    }
    for (const char* text : {"", "not a url", "example.com/path", "/relative/path",
                             "https://exa mple.com", "https://"}) {
        EXPECT_FALSE(parser.parse(text)) << text;
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
