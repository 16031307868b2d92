#include <gtest/gtest.h>

#include "store/KeychainHelper.h"
#include "support/Fakes.h"

namespace zandorin {
namespace {

class KeychainHelperTest : public ::testing::Test {
protected:
    test::InMemoryKeychain store;
    KeychainHelper keychain{store, "com.zandorin.auth"};
};

TEST_F(KeychainHelperTest, OnlyTheOAuthTokensTrustTheProxyAndOnlyWhenItIsInstalled) {
    const std::string self = test::InMemoryKeychain::selfPath;
    const std::string proxy = KeychainHelper::proxyPath;
    const std::vector<std::tuple<std::string, bool, std::vector<std::string>>> cases = {
        {"access_token", true, {self, proxy}},
        {"refresh_token", true, {self, proxy}},
        {"refresh_token", false, {self}},
        {"push_token", true, {}},
        {"Access_Token", true, {}},
    };
    for (const auto& [key, proxyInstalled, trusted] : cases) {
        store.proxyInstalled = proxyInstalled;
        keychain.save("v", key);
        const auto& access = store.items.at("com.zandorin.auth." + key).access;
        ASSERT_EQ(access.has_value(), !trusted.empty()) << key;
        std::vector<std::string> paths;
        for (const auto& app : access ? access->trusted : decltype(access->trusted){}) {
            paths.push_back(app.path);
        }
        EXPECT_EQ(paths, trusted) << key << proxyInstalled;
        EXPECT_EQ(access ? access->label : "", trusted.empty() ? "" : "com.zandorin.auth." + key);
    }
}

TEST_F(KeychainHelperTest, ALockedKeyringIsToldApartFromAMissingOrUnusableItem) {
    using enum KeychainHelper::ReadStatus;
    const std::vector<std::tuple<std::optional<std::string>, bool, std::optional<std::string>,
                                 KeychainHelper::ReadStatus>>
        cases = {
            // stored (nothing: never saved), locked, read
            {std::nullopt, false, std::nullopt, notFound},
            {"", false, "", found},
            {"令牌", false, "令牌", found},
            {"\xF4\x8F\xBF\xBF", false, "\xF4\x8F\xBF\xBF", found},  // U+10FFFF, the last
            {"\xF4\x90\x80\x80", false, std::nullopt, notFound},     // beyond it
            {"\xC3\x28", false, std::nullopt, notFound},
            {"令牌", true, std::nullopt, locked},
            {std::nullopt, true, std::nullopt, locked},
        };
    for (const auto& [stored, isLocked, value, status] : cases) {
        store.locked = false;
        stored ? keychain.save(*stored, "access_token") : keychain.remove("access_token");
        store.locked = isLocked;
        const auto read = keychain.lookup("access_token");
        EXPECT_EQ(read.value, value) << stored.value_or("(none)") << isLocked;
        EXPECT_EQ(read.status, status) << stored.value_or("(none)");
    }
}

}  // namespace
}  // namespace zandorin
