#include <gtest/gtest.h>

#include "auth/JWTHelper.h"
#include "common/Base64.h"
#include "support/Fakes.h"

namespace zandorin {
namespace {

using test::makeToken;
using Claims = JWTHelper::Claims;

Claims subject(std::string sub) {
    return Claims{std::nullopt, std::nullopt, std::move(sub), std::nullopt};
}

TEST(JWTHelperTest, DecodeReadsThePayloadPieceAndTheNameIsEmailElseUserNameElseSubject) {
    const auto piece = [](const std::string& json) { return base64::encodeUrlNoPadding(json); };
    const std::vector<std::tuple<std::string, std::optional<Claims>, std::optional<std::string>>>
        cases = {
            // the token, its claims, the name shown
            {makeToken(
                 R"({"email":"a@b.c","preferred_username":"ada","sub":"4","exp":1700000000.25})"),
             Claims{"a@b.c", "ada", "4",
                    JWTHelper::TimePoint(std::chrono::duration<double>(1700000000.25))},
             "a@b.c"},
            {makeToken(R"({"email":7,"preferred_username":null,"sub":["x"],"exp":"1700000000"})"),
             Claims{}, std::nullopt},
            {makeToken(R"({"email":1,"preferred_username":"ada","sub":"4"})"),
             Claims{std::nullopt, "ada", "4", std::nullopt}, "ada"},
            {makeToken(R"({"email":"","preferred_username":"ada"})"),
             Claims{"", "ada", std::nullopt, std::nullopt}, ""},
            {"h." + piece(R"({"sub":"ab"})"), subject("ab"), "ab"},  // one "=" of padding missing
            {"h." + piece(R"({"sub":"abc"})"), subject("abc"), "abc"},        // two
            {"h." + piece(R"({"sub":"?~?>>"})"), subject("?~?>>"), "?~?>>"},  // "-" and "_"
            {"." + piece("[]") + "." + piece(R"({"sub":"sig"})"), subject("sig"), "sig"},
            {"h.." + piece(R"({"sub":"s"})") + "..", subject("s"), "s"},
            {piece(R"({"sub":"s"})"), std::nullopt, std::nullopt},
            {"...", std::nullopt, std::nullopt},
            {"h.abcde.s", std::nullopt, std::nullopt},
            {"h.eyJzdWIiOiJzIn0 .s", std::nullopt, std::nullopt},
            {"h.e30=e30.s", std::nullopt, std::nullopt},
            {makeToken("[1,2]"), std::nullopt, std::nullopt},
            {makeToken(R"({"sub":"s")"), std::nullopt, std::nullopt},
            {makeToken("{\"sub\":\"\xFF\"}"), std::nullopt, std::nullopt},
        };
    for (const auto& [token, expected, name] : cases) {
        EXPECT_EQ(JWTHelper::decode(token), expected) << token;
        EXPECT_EQ(JWTHelper::displayName(token), name) << token;
    }
    EXPECT_EQ(JWTHelper::displayName(std::nullopt), std::nullopt);
}

TEST(JWTHelperTest, ExpiryIsStrictAndAnUnreadableTokenCountsAsExpired) {
    test::FakeMainQueue clock;
    const double now = std::chrono::duration<double>(clock.now().time_since_epoch()).count();
    const auto withExp = [](const std::string& exp) { return makeToken(R"({"exp":)" + exp + "}"); };
    const std::vector<std::pair<std::optional<std::string>, bool>> cases = {
        {std::nullopt, true},
        {withExp(std::to_string(now + 1)), false},
        {withExp(std::to_string(static_cast<long long>(now))), false},
        {withExp(std::to_string(now - 0.5)), true},
        {withExp('"' + std::to_string(now + 60) + '"'), true},
        {makeToken(R"({"email":"a@b.c"})"), true},
        {"garbage", true},
    };
    for (const auto& [token, expired] : cases) {
        EXPECT_EQ(JWTHelper::isTokenExpired(token, clock), expired) << token.value_or("none");
    }
}

}  // namespace
}  // namespace zandorin
