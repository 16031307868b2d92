// Thin adapters against their real libraries: what the end-to-end tests, which read one good
// Info.plist and parse good URLs, do not reach.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "adapters/curl/CurlUrlParser.h"
#include "adapters/plist/PlistBundleInfo.h"

namespace zandorin::adapters {
namespace {

namespace fs = std::filesystem;
const fs::path kDir = fs::temp_directory_path() / ("zandorin-plist-" + std::to_string(::getpid()));

// kDir/name holding `contents`, or no such file.
std::string write(const std::string& name, const std::optional<std::string>& contents) {
    fs::create_directories(kDir);
    const auto path = (kDir / name).string();
    fs::remove(path);
    if (contents) {
        std::ofstream(path) << *contents;
    }
    return path;
}

TEST(PlistBundleInfoTest, OnlyStringValuesOfAWholeDictionaryAreFound) {
    const PlistBundleInfo info(write("values", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
    <key>KEYCLOAK_ISSUER</key><string>http://127.0.0.1:1/realms/r/</string>
    <key>MCP_SERVER_URL</key><integer>42</integer>
    <key>EMPTY</key><string></string>
    <key>NESTED</key><dict><key>A</key><string>b</string></dict>
    <key>CJK</key><string>知識庫</string>
</dict></plist>)"));
    EXPECT_FALSE(info.loadError());
    const std::map<std::string, std::optional<std::string>> expected = {
        {"KEYCLOAK_ISSUER", "http://127.0.0.1:1/realms/r/"},
        {"MCP_SERVER_URL", std::nullopt},
        {"EMPTY", ""},
        {"NESTED", std::nullopt},
        {"A", std::nullopt},
        {"CJK", "知識庫"},
        {"MISSING", std::nullopt}};
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(info.stringValue(key), value) << key;
    }
    for (const std::string contents : {"", "not a plist", "<plist><array/></plist>",
                                       "<plist><dict><key>A</key><string>b</string>"}) {
        const PlistBundleInfo broken(write("broken", contents));
        EXPECT_TRUE(broken.loadError()) << contents;
        EXPECT_EQ(broken.stringValue("A"), std::nullopt) << contents;
    }
    EXPECT_TRUE(PlistBundleInfo("/nonexistent/Info.plist").loadError());
}

TEST(PlistBundleInfoTest, TheFirstReadableFileOfTheSearchPathIsTakenAndBrokenOnesAreReported) {
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
        std::vector<std::string> found;
        for (const auto& place : PlistBundleInfo::searchPath(
                 [&environment](const char* name) {
                     const auto it = environment.find(name);
                     return it == environment.end() ? nullptr : it->second.c_str();
                 },
                 bin)) {
            found.push_back((place.named ? "*" : "") + place.path);
        }
        auto wanted = expected;
        wanted.insert(wanted.end(), installed.begin(),
                      bin.empty() ? installed.begin() : installed.end());
        EXPECT_EQ(found, wanted) << bin;
    }

    // Which one is read: "A" holds WHO=A, "bad" is no property list, "" is missing; "*" named.
    for (const auto& [contents, chosen, reported] :
         std::vector<std::tuple<std::vector<std::string>, std::string, std::vector<int>>>{
             {{"bad", "A", "B"}, "A", {0}},
             {{"", "*", "A"}, "A", {1}},
             {{"*A", "B"}, "A", {}},
             {{"bad", "", "bad"}, "", {0, 2}},
         }) {
        std::vector<PlistBundleInfo::Place> places;
        for (std::size_t i = 0; i < contents.size(); ++i) {
            const bool named = contents[i].starts_with('*');
            const std::string who = contents[i].substr(named ? 1 : 0);
            places.push_back(
                {write(std::to_string(i),
                       who.empty()
                           ? std::nullopt
                           : std::optional(who == "bad" ? "<plist><dict>"
                                                        : "<plist><dict><key>WHO</key><string>" +
                                                              who + "</string></dict></plist>")),
                 named});
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
    fs::remove_all(kDir);
}

TEST(CurlUrlParserTest, AbsoluteUrlsOfAnySchemeOnly) {
    const CurlUrlParser parser;
    for (const char* url : {"https://example.com/a?b=c#d", "https://例子.測試/路徑"}) {
        EXPECT_TRUE(parser.parse(url)) << url;
    }
    for (const char* text : {"", "not a url", "example.com/path", "/relative/path",
                             "https://exa mple.com", "https://"}) {
        EXPECT_FALSE(parser.parse(text)) << text;
    }
    const auto callback = parser.parse("zandorin-auth://callback?code=x&state=y");
    ASSERT_TRUE(callback);
    EXPECT_EQ(callback->scheme + " " + callback->host + " " + callback->query.value_or("-"),
              "zandorin-auth callback code=x&state=y");
}

}  // namespace
}  // namespace zandorin::adapters
