#include <gtest/gtest.h>

#include "auth/JWTHelper.h"
#include "support/TestPlatform.h"
#include "support/Tokens.h"

namespace zandorin {
namespace {

using test::makeToken;
using Claims = JWTHelper::Claims;

JWTHelper::TimePoint at(double seconds) {
    return JWTHelper::TimePoint(std::chrono::duration<double>(seconds));
}

struct DecodeCase {
    std::string name;
    std::string token;
    std::optional<Claims> expected;
};

std::string payloadPiece(const std::string& json) {
    return base64::encodeUrlNoPadding(json);
}

TEST(ClaimsTest, DecodesPayloadsAndRejectsUnreadableTokens) {
    const std::vector<DecodeCase> cases = {
        {"all claims",
         makeToken(R"({"email":"a@b.c","preferred_username":"ada","sub":"42","exp":1700000000})"),
         Claims{"a@b.c", "ada", "42", at(1700000000)}},
        {"fractional exp kept", makeToken(R"({"exp":1700000000.25})"),
         Claims{std::nullopt, std::nullopt, std::nullopt, at(1700000000.25)}},
        {"exp as string is no expiry", makeToken(R"({"exp":"1700000000","sub":"s"})"),
         Claims{std::nullopt, std::nullopt, "s", std::nullopt}},
        {"exp as boolean is no expiry", makeToken(R"({"exp":true})"), Claims{}},
        {"wrong types leave fields empty",
         makeToken(R"({"email":7,"preferred_username":null,"sub":["x"]})"), Claims{}},
        {"empty object", makeToken("{}"), Claims{}},
        {"empty string claim is a value", makeToken(R"({"email":""})"),
         Claims{"", std::nullopt, std::nullopt, std::nullopt}},
        {"two pieces are enough", "h." + payloadPiece(R"({"sub":"s"})"),
         Claims{std::nullopt, std::nullopt, "s", std::nullopt}},
        // "{}" with one byte of padding: remainder 3.
        {"remainder 3 gets one =", "h." + payloadPiece(R"({"sub":"ab"})"),
         Claims{std::nullopt, std::nullopt, "ab", std::nullopt}},
        {"remainder 2 gets two =", "h." + payloadPiece(R"({"sub":"abc"})"),
         Claims{std::nullopt, std::nullopt, "abc", std::nullopt}},
        {"base64url alphabet", "h." + payloadPiece(R"({"sub":"?~?>>"})"),
         Claims{std::nullopt, std::nullopt, "?~?>>", std::nullopt}},
        {"leading dot shifts the payload",
         "." + payloadPiece("[]") + "." + payloadPiece(R"({"sub":"sig"})"),
         Claims{std::nullopt, std::nullopt, "sig", std::nullopt}},
        {"doubled dots are dropped", "h.." + payloadPiece(R"({"sub":"s"})") + "..",
         Claims{std::nullopt, std::nullopt, "s", std::nullopt}},
        {"one piece", payloadPiece(R"({"sub":"s"})"), std::nullopt},
        {"empty token", "", std::nullopt},
        {"only dots", "...", std::nullopt},
        {"remainder 1 cannot be base64", "h.abcde.s", std::nullopt},
        {"whitespace is not base64", "h.eyJzdWIiOiJzIn0 .s", std::nullopt},
        {"line break is not base64", "h.eyJzdW\nIiOiJzIn0.s", std::nullopt},
        {"payload is an array", makeToken("[1,2]"), std::nullopt},
        {"payload is a string", makeToken("\"x\""), std::nullopt},
        {"payload is not JSON", makeToken("not json"), std::nullopt},
        {"payload is truncated JSON", makeToken(R"({"sub":"s")"), std::nullopt},
        {"payload has invalid UTF-8", makeToken("{\"sub\":\"\xFF\"}"), std::nullopt},
        {"padding inside the payload", "h.e30=e30.s", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JWTHelper::decode(c.token), c.expected) << c.name;
    }
}

class StoredTokenTest : public ::testing::Test {
protected:
    test::TestPlatform fakes;
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};

    void store(const std::string& payload) { keychain.save(makeToken(payload), "access_token"); }
    double now() const {
        return std::chrono::duration<double>(fakes.mainQueue.now().time_since_epoch()).count();
    }
};

TEST_F(StoredTokenTest, ExpiryIsStrictAndEveryUnreadableTokenCountsAsExpired) {
    struct Case {
        std::string name;
        std::optional<std::string> token;  // nothing: no token stored
        bool expired;
    };
    const std::string exp = std::to_string(static_cast<long long>(now()));
    const std::vector<Case> cases = {
        {"no token", std::nullopt, true},
        {"exp one second ahead", makeToken(R"({"exp":)" + std::to_string(now() + 1) + "}"), false},
        {"exp equals now", makeToken(R"({"exp":)" + exp + "}"), false},
        {"exp a fraction before now", makeToken(R"({"exp":)" + std::to_string(now() - 0.5) + "}"),
         true},
        {"no exp", makeToken(R"({"email":"a@b.c"})"), true},
        {"exp as string", makeToken(R"({"exp":")" + std::to_string(now() + 60) + "\"}"), true},
        {"garbage token", std::string("garbage"), true},
    };
    for (const auto& c : cases) {
        if (c.token) {
            keychain.save(*c.token, "access_token");
        } else {
            keychain.remove("access_token");
        }
        EXPECT_EQ(JWTHelper::isTokenExpired(keychain, fakes.mainQueue), c.expired) << c.name;
    }
}

TEST_F(StoredTokenTest, DisplayNamePrefersEmailThenUserNameThenSubject) {
    struct Case {
        std::string payload;
        std::optional<std::string> name;
    };
    const std::vector<Case> cases = {
        {R"({"email":"a@b.c","preferred_username":"ada","sub":"42"})", "a@b.c"},
        {R"({"preferred_username":"ada","sub":"42"})", "ada"},
        {R"({"sub":"42"})", "42"},
        {R"({"email":"","preferred_username":"ada"})", ""},
        {R"({"email":1,"preferred_username":"ada"})", "ada"},
        {R"({})", std::nullopt},
    };
    for (const auto& c : cases) {
        store(c.payload);
        EXPECT_EQ(JWTHelper::displayName(keychain), c.name) << c.payload;
    }
    keychain.remove("access_token");
    EXPECT_EQ(JWTHelper::displayName(keychain), std::nullopt);
    keychain.save("not-a-token", "access_token");
    EXPECT_EQ(JWTHelper::displayName(keychain), std::nullopt);
}

}  // namespace
}  // namespace zandorin
