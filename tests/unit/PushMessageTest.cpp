#include <gtest/gtest.h>

#include "push/PushMessage.h"

namespace zandorin {
namespace {

TEST(PushMessageTest, APayloadBecomesANotificationWhoseUserInfoKeepsTheUrlAsSent) {
    struct Case {
        std::string payload;
        bool shown;
        std::string title;
        std::string body;
    };
    const std::string longest(kMaxPushPayloadBytes - 23, 'b');  // with {"title":"T","body":""}
    const std::string deepest = std::string(63, '[') + std::string(63, ']');
    const std::vector<Case> cases = {
        {R"({"title":"新文件","body":"已加入","url":"https://x.test/a"})", true, "新文件",
         "已加入"},
        {R"({"title":"T","body":")" + longest + "\"}", true, "T", longest},
        {R"({"title":"T","body":"b)" + longest + "\"}", false, "", ""},
        {R"({"title":"T","a":)" + deepest + "}", true, "T", ""},
        {R"({"title":"T","a":[)" + deepest + "]}", false, "", ""},
        {R"({"title":7,"body":"B","url":42})", true, "", "B"},
        {R"({"url":"https://x.test"})", false, "", ""},
        {R"({"title":"","body":""})", false, "", ""},
        {R"([{"title":"T"}])", false, "", ""},
        {"{\"title\":\"\xff\"}", false, "", ""},
    };
    for (const auto& c : cases) {
        const auto request = notificationFromPush(c.payload, "m-1");
        ASSERT_EQ(request.has_value(), c.shown) << c.payload.substr(0, 60);
        if (request) {
            EXPECT_EQ(request->identifier, "m-1");
            EXPECT_EQ(request->content.title, c.title);
            EXPECT_EQ(request->content.body, c.body);
            EXPECT_EQ(request->content.userInfo, nlohmann::json::parse(c.payload));
        }
    }
}

}  // namespace
}  // namespace zandorin
