#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <tuple>
#include <vector>

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

TEST(PlistBundleInfoTest, TheFirstReadableFileOfTheSearchPathIsTaken) {
    // Where it is looked for: environment, executable's directory, places ("*": named).
    using Environment = std::map<std::string, std::string>;
    const std::string xdg = "/zandorin-auth/Info.plist";
    const std::vector<std::string> installed = {"/opt/z/share/zandorin-auth/Info.plist",
                                                "/opt/z/bin/Info.plist"};
    const std::vector<std::tuple<Environment, std::string, std::vector<std::string>>> orders = {
        {{{"HOME", "/h"}}, "/opt/z/bin", {"/h/.config" + xdg, "/etc/xdg" + xdg}},
        {{{"ZANDORIN_AUTH_INFO_PLIST", "dev.plist"},
          {"XDG_CONFIG_HOME", "/c"},
          {"HOME", "/h"},
          {"XDG_CONFIG_DIRS", "/a:/b/"}},
         "/opt/z/bin",
         {"*dev.plist", "/c" + xdg, "/a" + xdg, "/b" + xdg}},
        // Empty and relative values are ignored; so is an unknown executable's directory.
        {{{"ZANDORIN_AUTH_INFO_PLIST", ""},
          {"XDG_CONFIG_HOME", "c"},
          {"HOME", "/h"},
          {"XDG_CONFIG_DIRS", ":a::/b"}},
         "/opt/z/bin",
         {"/h/.config" + xdg, "/b" + xdg}},
        {{{"XDG_CONFIG_DIRS", "a"}, {"HOME", "h"}}, "", {"/etc/xdg" + xdg}},
    };
    for (const auto& [variables, bin, expected] : orders) {
        const Environment& environment = variables;  // lambdas capture no structured binding
        const auto places = PlistBundleInfo::searchPath(
            [&environment](const char* name) {
                const auto it = environment.find(name);
                return it == environment.end() ? nullptr : it->second.c_str();
            },
            bin);
        std::vector<std::string> found;
        for (const auto& place : places) {
            found.push_back((place.named ? "*" : "") + place.path);
        }
        auto wanted = expected;
        if (!bin.empty()) {
            wanted.insert(wanted.end(), installed.begin(), installed.end());
        }
        EXPECT_EQ(found, wanted) << bin;
    }

    // Which one is read: "A" holds WHO=A, "bad" is no property list, "" is missing; "*" named.
    const auto dir =
        std::filesystem::temp_directory_path() / ("zandorin-places-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::vector<std::tuple<std::vector<std::string>, std::string, std::vector<int>>> reads = {
        {{"bad", "A", "B"}, "A", {0}},
        {{"", "*", "A"}, "A", {1}},
        {{"*A", "B"}, "A", {}},
        {{"bad", "", "bad"}, "", {0, 2}},
    };
    for (const auto& [contents, chosen, reported] : reads) {
        std::vector<PlistBundleInfo::Place> places;
        for (std::size_t i = 0; i < contents.size(); ++i) {
            const bool named = contents[i].starts_with('*');
            const std::string who = contents[i].substr(named ? 1 : 0);
            const auto path = (dir / std::to_string(i)).string();
            std::filesystem::remove(path);
            if (!who.empty()) {
                std::ofstream(path) << (who == "bad" ? "<plist><dict>"
                                                     : "<plist><dict><key>WHO</key><string>" + who +
                                                           "</string></dict></plist>");
            }
            places.push_back({path, named});
        }
        std::vector<std::string> problems;
        const auto info = PlistBundleInfo::locate(
            places, [&problems](const std::string& problem) { problems.push_back(problem); });
        EXPECT_EQ(info.stringValue("WHO").value_or(""), chosen) << contents.size();
        EXPECT_EQ(info.loadError().has_value(), chosen.empty());
        ASSERT_EQ(problems.size(), reported.size()) << chosen;
        for (std::size_t i = 0; i < reported.size(); ++i) {
            EXPECT_NE(problems[i].find(places[reported[i]].path), std::string::npos) << problems[i];
        }
    }
    std::filesystem::remove_all(dir);
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
