#include <gtest/gtest.h>

#include "auth/KeychainHelper.h"
#include "support/TestPlatform.h"

namespace zandorin {
namespace {

constexpr const char* kService = "com.zandorin.auth";

class KeychainHelperTest : public ::testing::Test {
protected:
    test::TestPlatform fakes;
    KeychainHelper keychain{fakes.keychain, kService};

    std::optional<test::InMemoryKeychain::Item> item(const std::string& key) const {
        return fakes.keychain.item(kService, std::string(kService) + "." + key);
    }
    static std::vector<std::string> trusted(const test::InMemoryKeychain::Item& item) {
        std::vector<std::string> paths;
        for (const auto& app : item.access->trusted) {
            paths.push_back(app.path);
        }
        return paths;
    }
};

TEST_F(KeychainHelperTest, ItemsAreFoundByServiceAndPrefixedAccount) {
    keychain.save("tok", "access_token");
    ASSERT_TRUE(item("access_token"));
    EXPECT_EQ(item("access_token")->data, "tok");
    EXPECT_EQ(fakes.keychain.itemCount(), 1u);
    EXPECT_EQ(keychain.load("access_token"), "tok");
}

TEST_F(KeychainHelperTest, OnlyTheTwoOAuthKeysTrustTheProxyAndOnlyWhenItIsInstalled) {
    struct Case {
        std::string key;
        bool proxyInstalled;
        std::optional<std::vector<std::string>> trusted;  // nothing: default access
    };
    const std::string self = test::InMemoryKeychain::selfPath;
    const std::vector<Case> cases = {
        {"access_token", true, std::vector<std::string>{self, KeychainHelper::proxyPath}},
        {"refresh_token", true, std::vector<std::string>{self, KeychainHelper::proxyPath}},
        {"access_token", false, std::vector<std::string>{self}},
        {"refresh_token", false, std::vector<std::string>{self}},
        {"push_token", true, std::nullopt},
        {"Access_Token", true, std::nullopt},
        {"access_token ", true, std::nullopt},
    };
    for (const auto& c : cases) {
        fakes.keychain.setExecutables(c.proxyInstalled
                                          ? std::set<std::string>{KeychainHelper::proxyPath}
                                          : std::set<std::string>{});
        ASSERT_EQ(keychain.save("v", c.key), platform::KeychainStatus::success) << c.key;
        const auto stored = item(c.key);
        ASSERT_TRUE(stored) << c.key;
        if (!c.trusted) {
            EXPECT_FALSE(stored->access) << c.key;
            continue;
        }
        ASSERT_TRUE(stored->access) << c.key;
        EXPECT_EQ(stored->access->label, std::string(kService) + "." + c.key);
        EXPECT_EQ(trusted(*stored), *c.trusted) << c.key << " proxy " << c.proxyInstalled;
    }
}

TEST_F(KeychainHelperTest, SavingTwiceLeavesOneItemWithTheSecondValue) {
    keychain.save("first", "access_token");
    keychain.save("second", "access_token");
    EXPECT_EQ(fakes.keychain.itemCount(), 1u);
    EXPECT_EQ(keychain.load("access_token"), "second");
}

TEST_F(KeychainHelperTest, AFailedSaveKeepsTheOldValue) {
    keychain.save("old", "refresh_token");
    fakes.keychain.setLocked(true);
    EXPECT_EQ(keychain.save("new", "refresh_token"), platform::KeychainStatus::locked);
    fakes.keychain.setLocked(false);
    EXPECT_EQ(keychain.load("refresh_token"), "old");
    // The store was asked to replace, never to delete first.
    EXPECT_TRUE(fakes.events.matching({"keychain.remove"}).empty());
}

TEST_F(KeychainHelperTest, ALockedKeyringIsToldApartFromAMissingOrUnusableItem) {
    struct Case {
        std::optional<std::string> stored;  // nothing: never saved
        bool locked;
        std::optional<std::string> value;
        bool unreadable;
    };
    const Case cases[] = {
        {std::nullopt, false, std::nullopt, false},
        {"", false, "", false},                    // zero bytes is a value
        {"\xC3\x28", false, std::nullopt, false},  // not UTF-8
        {"令牌", false, "令牌", false},
        {"令牌", true, std::nullopt, true},
        {std::nullopt, true, std::nullopt, true},
    };
    for (const auto& c : cases) {
        fakes.keychain.setLocked(false);
        keychain.remove("access_token");
        if (c.stored) {
            keychain.save(*c.stored, "access_token");
        }
        fakes.keychain.setLocked(c.locked);
        const auto found = keychain.lookup("access_token");
        EXPECT_EQ(found.value, c.value) << c.stored.value_or("(none)") << c.locked;
        EXPECT_EQ(found.keyringUnreadable, c.unreadable) << c.stored.value_or("(none)");
    }
}

TEST_F(KeychainHelperTest, RemoveIsHarmlessWithoutAnItem) {
    keychain.remove("refresh_token");
    keychain.save("a", "access_token");
    keychain.save("p", "push_token");
    keychain.remove("access_token");
    EXPECT_EQ(keychain.load("access_token"), std::nullopt);
    EXPECT_EQ(keychain.load("push_token"), "p");
}

}  // namespace
}  // namespace zandorin
