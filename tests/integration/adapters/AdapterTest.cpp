// The Info.plist reader against libplist: what the end-to-end tests, which read one good
// Info.plist, do not reach. (The URL parser is the one the unit tests use.)

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "adapters/plist/PlistBundleInfo.h"

namespace zandorin::adapters {
namespace {

namespace fs = std::filesystem;
const fs::path kDir = fs::temp_directory_path() / ("zandorin-plist-" + std::to_string(::getpid()));

std::string write(const std::string& name, const std::string& contents) {
    fs::create_directories(kDir);
    const auto path = (kDir / name).string();
    std::ofstream(path) << contents;
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
    using namespace std::string_literals;
    for (const std::string& contents :
         {""s, "not a plist"s, "<plist><array/></plist>"s,
          "<plist><dict><key>A</key><string>b</string>"s,
          // libplist reads a NUL in a key or string, then aborts when asked for the text.
          "<plist><dict><key>A\0B</key><string>b</string></dict></plist>"s,
          "<plist><dict><key>A</key><string>b\0c</string></dict></plist>"s}) {
        const PlistBundleInfo broken(write("broken", contents));
        EXPECT_TRUE(broken.loadError()) << contents;
        EXPECT_EQ(broken.stringValue("A"), std::nullopt) << contents;
    }
    // Neither a directory nor a FIFO, which would hold the start, is read.
    const auto fifo = kDir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {"/nonexistent/Info.plist"s, kDir.string(), fifo.string()}) {
        EXPECT_TRUE(PlistBundleInfo(path).loadError()) << path;
    }
    fs::remove_all(kDir);
}

// Where the file is looked for, by environment and executable's directory ("*": named). Which
// one is read is tested end to end.
TEST(PlistBundleInfoTest, TheSearchPathFollowsTheEnvironment) {
    using Environment = std::map<std::string, std::string>;
    const std::string xdg = "/zandorin-auth/Info.plist";
    const std::vector<std::string> installed = {"/opt/z/share/zandorin-auth/Info.plist",
                                                "/opt/z/bin/Info.plist"};
    const std::vector<std::tuple<Environment, std::string, std::vector<std::string>>> orders = {
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
}

}  // namespace
}  // namespace zandorin::adapters
