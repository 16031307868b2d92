#include <gtest/gtest.h>

#include <map>

#include "menu/StatusBarController.h"
#include "support/Fakes.h"

namespace zandorin {

// Reads what the menu is drawn from: reachable, active, text, checking.
struct StatusBarControllerProbe {
    using State =
        std::tuple<std::optional<bool>, std::optional<bool>, std::optional<std::string>, bool>;
    static State state(const StatusBarController& c) {
        return {c.mcpServerReachable, c.subscriptionActive, c.subscriptionText, c.isCheckingHealth};
    }
    static std::optional<KnowledgeStats> stats(const StatusBarController& c) { return c.stats; }
};

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using platform::HttpResponse;
using platform::MenuAction;
using platform::TransferError;
using test::answer;
using State = StatusBarControllerProbe::State;

// A tool result as the service streams it.
HttpResponse toolResult(const Json& content) {
    const Json reply = {{"jsonrpc", "2.0"}, {"id", 1}, {"result", {{"content", content}}}};
    return answer(200, "event: message\ndata: " + reply.dump() + "\n\n");
}

HttpResponse toolText(const std::string& text) {
    return toolResult(Json::array({{{"type", "text"}, {"text", text}}}));
}

const std::string kSignedOut = "status Mirrowen [circle.fill red]";

// The controller against a scripted service: MCP answers by method (tools by name), the
// statistics answer and the token endpoint's answer.
class StatusBarControllerTest : public ::testing::Test {
protected:
    StatusBarControllerTest() {
        fakes.http.fallback = [this](const platform::HttpRequest& request) {
            if (request.url.ends_with("/api/stats")) {
                return statsAnswer;
            }
            if (!request.url.ends_with("/mcp")) {
                return tokenAnswer;
            }
            const auto message = Json::parse(request.body);
            const std::string key =
                message["method"] == "tools/call" ? message["params"]["name"] : message["method"];
            mcpSeen.push_back(key);
            const auto it = mcp.find(key);
            return it != mcp.end() ? it->second : platform::HttpResult(answer(202, ""));
        };
    }

    void signIn() {  // until 2100
        keychain.save(test::makeToken(R"({"email":"ada@example.com","exp":4102444800})"),
                      "access_token");
        keychain.save("R1", "refresh_token");
    }
    void start() {
        controller = std::make_unique<StatusBarController>(fakes.platform, keychain, oauth);
        fakes.settle();
    }
    State state() const { return StatusBarControllerProbe::state(*controller); }
    std::vector<std::string> menu() const { return test::describe(fakes.desktop.menus.back()); }

    test::TestPlatform fakes;
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    OAuthManager oauth{fakes.platform, keychain};
    std::map<std::string, platform::HttpResult> mcp;
    platform::HttpResult statsAnswer = TransferError{"offline"};
    platform::HttpResult tokenAnswer = answer(200, R"({"access_token":"A2","refresh_token":"R2"})");
    std::vector<std::string> mcpSeen;
    std::unique_ptr<StatusBarController> controller;
};

TEST_F(StatusBarControllerTest, TheHealthCheckKeepsWhatTheServerAndTheToolAnswered) {
    const std::string active = "✅ 訂閱有效\n到期日：2027-12-31";
    const HttpResponse rpcError = answer(200, R"({"jsonrpc":"2.0","id":1,"error":{"code":-1}})");
    const std::string status = "check_subscription_status";
    const std::vector<std::pair<std::map<std::string, platform::HttpResult>, State>> cases = {
        {{{"initialize", TransferError{"refused"}}}, {false, {}, {}, false}},
        {{{"initialize", answer(500, rpcError.body)}}, {false, {}, {}, false}},
        {{{"initialize", answer(400, rpcError.body)}, {status, toolText(active)}},
         {true, true, active, false}},  // an error reply is an answer
        {{{status, toolText("訂閱仍有效至 2027 年")}}, {true, true, "訂閱仍有效至 2027 年", false}},
        {{{status, toolText("❌ 尚未訂閱")}}, {true, false, "❌ 尚未訂閱", false}},
        {{{"notifications/initialized", answer(400, "{}")}, {status, toolText(active)}},
         {true, true, active, false}},
        {{{status, toolResult(Json::array())}}, {true, {}, {}, false}},
        {{{status, toolResult(Json::array({{{"text", 7}}}))}}, {true, {}, {}, false}},
        {{{status, rpcError}}, {true, {}, {}, false}},
    };
    signIn();
    for (const auto& [answers, expected] : cases) {
        mcp = answers;
        mcp.emplace("initialize", answer(200, R"({"jsonrpc":"2.0","id":1,"result":{}})"));
        start();
        EXPECT_EQ(state(), expected) << std::get<2>(expected).value_or("");
    }
    // A rendering reads the keyring once: each read is a round trip on the main thread.
    fakes.keychain.reads = 0;
    controller->updateStatus();
    EXPECT_EQ(fakes.keychain.reads, 1);
}

TEST_F(StatusBarControllerTest, ASecondTriggerIsDroppedSignOutResetsAtOnceAndQuitEnds) {
    signIn();
    mcp = {{"initialize", answer(200, "{}")}, {"check_subscription_status", toolText("✅")}};
    start();
    ASSERT_EQ(state(), (State{true, true, "✅", false}));
    EXPECT_EQ(menu()[7], "info   ✅");                       // drawn once the check is over
    EXPECT_EQ(mcpSeen.at(1), "notifications/initialized");  // the handshake's last step

    mcpSeen.clear();
    fakes.mainQueue.advance(59s);
    EXPECT_EQ(fakes.executor.pending(), 0u);
    fakes.mainQueue.advance(1s);  // the timer starts a check
    controller->onAuthChanged();  // dropped: one is running
    EXPECT_EQ(fakes.executor.pending(), 1u);
    EXPECT_EQ(state(), (State{true, true, "✅", true}));

    // Signed out from the menu while the check waits: the state goes at once, the check still
    // ends.
    fakes.desktop.click(MenuAction::logout);
    EXPECT_EQ(state(), (State{{}, {}, {}, true}));
    EXPECT_EQ(menu().front(), kSignedOut);
    fakes.settle();
    EXPECT_EQ(state(), (State{false, {}, {}, false}));  // its "initialize" found no token
    EXPECT_TRUE(mcpSeen.empty());
    EXPECT_EQ(fakes.desktop.terminations, 0);
    fakes.desktop.click(MenuAction::quit);
    EXPECT_EQ(fakes.desktop.terminations, 1);
}

TEST_F(StatusBarControllerTest, StatisticsAreShownAsTheyArriveAndKeptWhenAFetchFails) {
    const std::vector<std::pair<std::string, std::optional<KnowledgeStats>>> cases = {
        {R"({"articles":{"topics":12,"projects":3},"skills":{"total":40},)"
         R"("news":{"latest_date":"2026-12-01"},"extra":[1]})",
         KnowledgeStats{12, 3, 40, "2026-12-01"}},
        {"{}", KnowledgeStats{}},
        {R"({"articles":{"topics":12.5,"projects":"3"},"skills":{"total":true},)"
         R"("news":{"latest_date":20261201}})",
         KnowledgeStats{}},
        {R"({"articles":{"topics":12.0,"projects":-1},"skills":{"total":4e1}})",
         KnowledgeStats{12, -1, 40, ""}},
        {R"({"articles":{"topics":9223372036854775807,"projects":9223372036854775808},)"
         R"("skills":{"total":9223372036854775808.0}})",
         KnowledgeStats{9223372036854775807, 0, 0, ""}},
        {R"({"articles":[12,3],"skills":40})", KnowledgeStats{}},
        {"[1,2]", std::nullopt},
        {"<html>Bad Gateway</html>", std::nullopt},
    };
    for (const auto& [body, expected] : cases) {
        statsAnswer = answer(500, body);  // the status does not matter
        start();
        EXPECT_EQ(StatusBarControllerProbe::stats(*controller), expected) << body;
        EXPECT_EQ(menu()[2], expected ? "header   Tirrel知識庫 · 儀表板" : "header   Tirrel知識庫");
    }
    // The counts need no sign-in and no bearer token.
    EXPECT_TRUE(fakes.http.requests.back().headers.empty());
    for (const auto& next : std::vector<platform::HttpResult>{
             TransferError{"offline"}, answer(200, R"({"skills":{"total":5}})"),
             answer(200, "not json")}) {
        statsAnswer = next;
        fakes.mainQueue.advance(600s);
        fakes.settle();
    }
    EXPECT_EQ(menu()[5], "stat     Skill 技能 | 5 份 (sparkles) purple");
}

TEST_F(StatusBarControllerTest, CheckoutOpensTheFirstWebLinkOfTheAnswerOrSaysWhyNot) {
    const std::string noLink = "無法取得付款連結: ";
    const std::string hint = "請在 Claude 對話中輸入「我想訂閱Mirrowen」。";
    const std::vector<std::pair<platform::HttpResult, std::string>> cases = {
        {toolText("請在此頁面完成付款：https://pay.example.com/c/abc?x=1 付款完成後即可使用。"),
         "https://pay.example.com/c/abc?x=1"},
        {toolText("付款：https://pay.example.com/a，說明：https://help.example.com/b。"),
         "https://pay.example.com/a"},
        {toolText("www.a.example/x 或 https://b.example/pay"), "https://b.example/pay"},
        {toolText("您已是訂閱會員，無需付款。"), noLink + "您已是訂閱會員，無需付款。"},
        {toolText("www.evil.example:/x"), noLink + "www.evil.example:/x"},
        {toolResult(Json::array()), noLink + hint},
        {answer(400, R"({"jsonrpc":"2.0","id":1,"error":{"code":-32602}})"), noLink + hint},
        {answer(503, "busy"),
         "無法建立付款連結: 請確認網路連線後再試，或在 Claude 對話中輸入「我想訂閱Mirrowen」。"},
    };
    signIn();
    start();
    for (const auto& [result, outcome] : cases) {
        mcp["create_checkout"] = result;
        fakes.desktop.opened.clear();
        fakes.desktop.alerts.clear();
        fakes.desktop.click(MenuAction::subscribe);
        fakes.settle();
        auto seen = fakes.desktop.opened;
        for (const auto& alert : fakes.desktop.alerts) {
            seen.push_back(alert.messageText + ": " + alert.informativeText);
        }
        EXPECT_EQ(seen, std::vector{outcome});
    }
    // A link of another scheme is logged by its scheme alone.
    const auto log = fakes.systemLog.lines;
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "Checkout: did not open a link of the scheme \"www.evil.example\": only "
                         "http and https links are opened"),
              1);
    EXPECT_EQ(Json::parse(fakes.http.requests.back().body)["params"]["arguments"],
              Json({{"invoice_type", "donate"}}));
}

// A reconnect whose refresh succeeds checks again: the desktop tests see it end to end.
TEST_F(StatusBarControllerTest, AReconnectWhoseRefreshIsRefusedSignsOutWithoutACheck) {
    signIn();
    mcp = {{"initialize", answer(200, "{}")}};
    start();
    tokenAnswer = answer(400, R"({"error":"invalid_grant"})");
    fakes.desktop.click(MenuAction::reconnect);
    fakes.settle();
    EXPECT_EQ(state(), (State{{}, {}, {}, false}));
    EXPECT_EQ(menu().front(), kSignedOut);
    EXPECT_EQ(std::count(mcpSeen.begin(), mcpSeen.end(), "initialize"), 1);
}

TEST_F(StatusBarControllerTest,
       ASignInElsewhereRendersAtOnceASignOutAfterItsCheckAndNothingOutlivesIt) {
    start();
    const auto before = fakes.desktop.menus.size();
    signIn();
    controller->onAuthChanged();
    EXPECT_EQ(fakes.desktop.menus.size(), before + 1);
    EXPECT_EQ(menu().front(), "status Mirrowen — ada@example.com [circle grey]");
    fakes.mainQueue.runPending();
    EXPECT_EQ(fakes.desktop.menus.size(), before + 1);  // signed in: the check is under way

    keychain.remove("access_token");
    controller->onAuthChanged();
    EXPECT_EQ(menu().front(), kSignedOut);
    fakes.mainQueue.runPending();
    EXPECT_EQ(fakes.desktop.menus.size(), before + 3);  // and the signed-out check's reset
    // The health timer's checks reset and render too while signed out.
    fakes.mainQueue.advance(60s);
    EXPECT_EQ(fakes.desktop.menus.size(), before + 4);

    // Gone, it leaves nothing that fires: a render it queued, its timers.
    controller->onAuthChanged();
    controller.reset();
    EXPECT_EQ(fakes.mainQueue.liveTimers(), 0u);
    fakes.mainQueue.advance(3600s);
    EXPECT_EQ(fakes.desktop.menus.size(), before + 5);
}

}  // namespace
}  // namespace zandorin
