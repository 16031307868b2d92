#include <gtest/gtest.h>

#include "auth/KeychainHelper.h"
#include "support/Fakes.h"

namespace zandorin {
namespace {

using platform::KeychainStatus;

class KeychainHelperTest : public ::testing::Test {
protected:
    test::InMemoryKeychain store;
    KeychainHelper keychain{store, "com.zandorin.auth"};
};

TEST_F(KeychainHelperTest, OnlyTheOAuthTokensTrustTheProxyAndOnlyWhenItIsInstalled) {
    const std::string self = test::InMemoryKeychain::selfPath;
    const std::string proxy = KeychainHelper::proxyPath;
    struct Case {
        std::string key;
        bool proxyInstalled;
        std::vector<std::string> trusted;  // empty: default access
    };
    const std::vector<Case> cases = {
        {"access_token", true, {self, proxy}},
        {"refresh_token", true, {self, proxy}},
        {"access_token", false, {self}},
        {"refresh_token", false, {self}},
        {"push_token", true, {}},
        {"Access_Token", true, {}},
    };
    for (const auto& c : cases) {
        store.proxyInstalled = c.proxyInstalled;
        ASSERT_EQ(keychain.save("v", c.key), KeychainStatus::success) << c.key;
        const auto access = store.access("com.zandorin.auth." + c.key);
        ASSERT_EQ(access.has_value(), !c.trusted.empty()) << c.key;
        std::vector<std::string> paths;
        for (const auto& app : access ? access->trusted : decltype(access->trusted){}) {
            paths.push_back(app.path);
        }
        EXPECT_EQ(paths, c.trusted) << c.key << c.proxyInstalled;
        EXPECT_EQ(access ? access->label : "",
                  c.trusted.empty() ? "" : "com.zandorin.auth." + c.key);
    }
}

TEST_F(KeychainHelperTest, ALockedKeyringIsToldApartFromAMissingOrUnusableItem) {
    struct Case {
        std::optional<std::string> stored;  // nothing: never saved
        bool locked;
        std::optional<std::string> value;
    };
    const std::vector<Case> cases = {
        {std::nullopt, false, std::nullopt},
        {"", false, ""},
        {"令牌", false, "令牌"},
        {"\xF4\x8F\xBF\xBF", false, "\xF4\x8F\xBF\xBF"},  // U+10FFFF, the last code point
        {"\xF4\x90\x80\x80", false, std::nullopt},        // beyond it
        {"\xC3\x28", false, std::nullopt},
        {"令牌", true, std::nullopt},
        {std::nullopt, true, std::nullopt},
    };
    for (const auto& c : cases) {
        store.setLocked(false);
        keychain.remove("access_token");
        if (c.stored) {
            keychain.save(*c.stored, "access_token");
        }
        store.setLocked(c.locked);
        const auto found = keychain.lookup("access_token");
        EXPECT_EQ(found.value, c.value) << c.stored.value_or("(none)") << c.locked;
        EXPECT_EQ(found.keyringUnreadable, c.locked) << c.stored.value_or("(none)");
    }
}

TEST_F(KeychainHelperTest, AFailedSaveReplacesNothing) {
    keychain.save("old", "refresh_token");
    store.beforeStore = [](const platform::KeychainQuery&) { return false; };
    EXPECT_EQ(keychain.save("new", "refresh_token"), KeychainStatus::failed);
    EXPECT_EQ(keychain.load("refresh_token"), "old");
}

}  // namespace
}  // namespace zandorin
