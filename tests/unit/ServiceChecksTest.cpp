#include <gtest/gtest.h>

#include <map>

#include "app/AppDelegate.h"
#include "menu/StatusBarController.h"
#include "support/MenuText.h"
#include "support/TestPlatform.h"
#include "support/Tokens.h"

namespace zandorin {

// Reads what the menu is drawn from.
struct StatusBarControllerProbe {
    struct State {
        std::optional<bool> reachable;
        std::optional<bool> active;
        std::optional<std::string> text;
        bool checking = false;
        bool operator==(const State&) const = default;
    };
    static State state(const StatusBarController& c) {
        return {c.mcpServerReachable, c.subscriptionActive, c.subscriptionText, c.isCheckingHealth};
    }
    static std::optional<KnowledgeStats> stats(const StatusBarController& c) { return c.stats; }
};

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using platform::HttpResponse;
using platform::TransferError;
using State = StatusBarControllerProbe::State;

HttpResponse answer(long status, std::string body) {
    return HttpResponse{status, {}, std::move(body)};
}

// A tool result as the service streams it.
HttpResponse toolResult(const Json& content) {
    const Json reply = {{"jsonrpc", "2.0"}, {"id", 1}, {"result", {{"content", content}}}};
    return answer(200, "event: message\ndata: " + reply.dump() + "\n\n");
}

HttpResponse toolText(const std::string& text) {
    return toolResult(Json::array({{{"type", "text"}, {"text", text}}}));
}

const HttpResponse kInitialized = answer(200, R"({"jsonrpc":"2.0","id":1,"result":{}})");

// The controller against a scripted service: MCP answers by method (tools by name), the
// statistics answer and the token endpoint's answer.
class ServiceChecksTest : public ::testing::Test {
protected:
    ServiceChecksTest() {
        fakes.http.setFallback([this](const platform::HttpRequest& request) {
            if (request.url.ends_with("/mcp")) {
                const auto message = Json::parse(request.body);
                std::string key = message["method"];
                if (key == "tools/call") {
                    key = message["params"]["name"];
                }
                mcpSeen.push_back(key);
                if (auto hook = std::exchange(whileSending, nullptr)) {
                    hook();
                }
                if (const auto it = mcp.find(key); it != mcp.end()) {
                    return it->second;
                }
                return platform::HttpResult(answer(202, ""));
            }
            if (request.url.ends_with("/api/stats")) {
                return statsAnswer;
            }
            return tokenAnswer;
        });
    }

    void signIn() {
        keychain.save(test::makeToken("ada@example.com", fakes.mainQueue.now() + 1h),
                      "access_token");
        keychain.save("R1", "refresh_token");
    }

    // Runs tasks and main-queue blocks until neither has work left.
    void settle() {
        fakes.mainQueue.runPending();
        for (int i = 0; i < 50 && fakes.executor.pending(); ++i) {
            fakes.executor.runAll();
            fakes.mainQueue.runPending();
        }
    }

    State state() const { return StatusBarControllerProbe::state(*controller); }
    void click(platform::MenuAction action) { fakes.statusBar.item->handler(action); }

    test::TestPlatform fakes;
    const bool configured_ = [this] {
        fakes.bundle.values = {{"KEYCLOAK_ISSUER", "https://id.example.com/realms/z"},
                               {"MCP_SERVER_URL", "https://svc.example.com"}};
        return true;
    }();
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    PushManager push{fakes.platform, keychain};
    OAuthManager oauth{fakes.platform, keychain, push};
    std::map<std::string, platform::HttpResult> mcp = {{"initialize", kInitialized}};
    platform::HttpResult statsAnswer = TransferError{"offline"};
    platform::HttpResult tokenAnswer = answer(200, R"({"access_token":"A2","refresh_token":"R2"})");
    std::vector<std::string> mcpSeen;
    std::function<void()> whileSending;  // runs once, inside the next MCP request
    std::unique_ptr<StatusBarController> controller;
};

TEST_F(ServiceChecksTest, HealthOutcomes) {
    const std::string active = "✅ 訂閱有效\n到期日：2027-12-31";
    struct Case {
        const char* name;
        std::map<std::string, platform::HttpResult> answers;
        State expected;
    };
    const std::vector<Case> cases = {
        {"initialize unanswered", {{"initialize", TransferError{"refused"}}}, {false, {}, {}}},
        {"initialize 500", {{"initialize", answer(500, R"({"error":{}})")}}, {false, {}, {}}},
        {"initialize error reply counts as reachable",
         {{"initialize", answer(400, R"({"jsonrpc":"2.0","id":1,"error":{"code":-1}})")},
          {"check_subscription_status", toolText(active)}},
         {true, true, active}},
        {"active marker anywhere",
         {{"check_subscription_status", toolText(active)}},
         {true, true, active}},
        {"仍有效 without the check mark",
         {{"check_subscription_status", toolText("訂閱仍有效至 2027 年")}},
         {true, true, "訂閱仍有效至 2027 年"}},
        {"inactive text is kept",
         {{"check_subscription_status", toolText("❌ 尚未訂閱")}},
         {true, false, "❌ 尚未訂閱"}},
        {"refused notification does not stop the tool call",
         {{"notifications/initialized", answer(400, "{}")},
          {"check_subscription_status", toolText(active)}},
         {true, true, active}},
        {"empty content",
         {{"check_subscription_status", toolResult(Json::array())}},
         {true, {}, {}}},
        {"first element without a string text",
         {{"check_subscription_status", toolResult(Json::array({{{"text", 7}}}))}},
         {true, {}, {}}},
        {"content element that is not an object",
         {{"check_subscription_status", toolResult(Json::array({{{"text", "✅"}}, "x"}))}},
         {true, {}, {}}},
        {"tool error reply",
         {{"check_subscription_status", answer(200, R"({"jsonrpc":"2.0","id":1,"error":{}})")}},
         {true, {}, {}}},
    };
    signIn();
    for (const auto& c : cases) {
        mcp = {{"initialize", kInitialized}};
        for (const auto& [key, value] : c.answers) {
            mcp[key] = value;
        }
        controller = std::make_unique<StatusBarController>(fakes.platform, keychain, oauth);
        settle();
        EXPECT_EQ(state(), c.expected) << c.name;
    }
}

TEST_F(ServiceChecksTest, ASecondTriggerIsDroppedAndSignOutResetsAtOnce) {
    signIn();
    mcp["check_subscription_status"] = toolText("✅");
    controller = std::make_unique<StatusBarController>(fakes.platform, keychain, oauth);
    settle();
    ASSERT_EQ(state(), (State{true, true, "✅", false}));

    mcpSeen.clear();
    fakes.mainQueue.advance(60s);                                   // the timer starts a check
    fakes.notificationCenter.post(OAuthManager::authStateChanged);  // dropped: one is running
    EXPECT_EQ(fakes.executor.pending(), 1u);
    EXPECT_EQ(state(), (State{true, true, "✅", true}));

    // Signed out while the check waits: the state goes at once, the check still ends.
    keychain.remove("access_token");
    fakes.notificationCenter.post(OAuthManager::authStateChanged);
    EXPECT_EQ(state(), (State{{}, {}, {}, true}));
    settle();
    EXPECT_EQ(state(), (State{false, {}, {}, false}));  // its "initialize" found no token
    EXPECT_TRUE(mcpSeen.empty());
    EXPECT_EQ(test::describe(fakes.statusBar.item->menus.back()).front(),
              "status Mirrowen [circle.fill red]");
}

TEST_F(ServiceChecksTest, StatisticsAnswers) {
    const auto stats = [](std::int64_t t, std::int64_t p, std::int64_t s, std::string d) {
        return KnowledgeStats{t, p, s, std::move(d)};
    };
    struct Case {
        const char* name;
        platform::HttpResult result;
        std::optional<KnowledgeStats> expected;
    };
    const std::vector<Case> cases = {
        {"full",
         answer(200, R"({"articles":{"topics":12,"projects":3},"skills":{"total":40},)"
                     R"("news":{"latest_date":"2026-12-01"},"extra":[1]})"),
         stats(12, 3, 40, "2026-12-01")},
        {"empty object", answer(200, "{}"), stats(0, 0, 0, "")},
        {"fractions, strings and booleans count as missing",
         answer(200, R"({"articles":{"topics":12.5,"projects":"3"},"skills":{"total":true},)"
                     R"("news":{"latest_date":20261201}})"),
         stats(0, 0, 0, "")},
        {"integral floats and negatives count",
         answer(200, R"({"articles":{"topics":12.0,"projects":-1},"skills":{"total":4e1}})"),
         stats(12, -1, 40, "")},
        {"beyond 64 bits", answer(200, R"({"articles":{"topics":18446744073709551615}})"),
         stats(0, 0, 0, "")},
        {"sections that are not objects", answer(200, R"({"articles":[12,3],"skills":40})"),
         stats(0, 0, 0, "")},
        {"error object with 500", answer(500, R"({"error":"boom"})"), stats(0, 0, 0, "")},
        {"array", answer(200, "[1,2]"), std::nullopt},
        {"nested too deep",
         answer(200, R"({"skills":{"total":1},"x":)" + std::string(64, '[') + std::string(64, ']') +
                         "}"),
         std::nullopt},
        {"html", answer(502, "<html>Bad Gateway</html>"), std::nullopt},
        {"transfer error", TransferError{"timeout"}, std::nullopt},
    };
    signIn();
    for (const auto& c : cases) {
        statsAnswer = c.result;
        controller = std::make_unique<StatusBarController>(fakes.platform, keychain, oauth);
        settle();
        EXPECT_EQ(StatusBarControllerProbe::stats(*controller), c.expected) << c.name;
    }

    // A failed fetch keeps what the last one brought; the counts need no sign-in.
    const auto request = fakes.http.requests().back().url.ends_with("/api/stats")
                             ? fakes.http.requests().back()
                             : platform::HttpRequest{};
    statsAnswer = answer(200, R"({"skills":{"total":5}})");
    fakes.mainQueue.advance(600s);
    settle();
    statsAnswer = answer(200, "not json");
    fakes.mainQueue.advance(600s);
    settle();
    EXPECT_EQ(StatusBarControllerProbe::stats(*controller), stats(0, 0, 5, ""));
    for (const auto& sent : fakes.http.requests()) {
        if (sent.url.ends_with("/api/stats")) {
            EXPECT_EQ(sent.url, "https://svc.example.com/api/stats");
            EXPECT_EQ(sent.method, "GET");
            EXPECT_TRUE(sent.headers.empty()) << "no bearer token, no session id";
            EXPECT_EQ(sent.timeout, 10s);
        }
    }
}

TEST_F(ServiceChecksTest, CheckoutOutcomes) {
    const std::string fixedHint = "請在 Claude 對話中輸入「我想訂閱Mirrowen」。";
    struct Case {
        const char* name;
        platform::HttpResult result;
        std::optional<std::string> opened;
        std::optional<platform::AlertContent> alert;
    };
    const std::vector<Case> cases = {
        {"link in a Chinese sentence",
         toolText("請在此頁面完成付款：https://pay.example.com/c/abc?x=1 付款完成後即可使用。"),
         "https://pay.example.com/c/abc?x=1", std::nullopt},
        {"two links: the first in the text",
         toolText("付款：https://pay.example.com/a，說明：https://help.example.com/b。"),
         "https://pay.example.com/a", std::nullopt},
        {"no link", toolText("您已是訂閱會員，無需付款。"), std::nullopt,
         platform::AlertContent{"無法取得付款連結", "您已是訂閱會員，無需付款。"}},
        {"empty content", toolResult(Json::array()), std::nullopt,
         platform::AlertContent{"無法取得付款連結", fixedHint}},
        {"error reply", answer(400, R"({"jsonrpc":"2.0","id":1,"error":{"code":-32602}})"),
         std::nullopt, platform::AlertContent{"無法取得付款連結", fixedHint}},
        {"link that is no absolute URL", toolText("請前往 www.example.com/pay 付款"), std::nullopt,
         platform::AlertContent{"無法取得付款連結", "請前往 www.example.com/pay 付款"}},
        {"server error", answer(503, "busy"), std::nullopt,
         platform::AlertContent{
             "無法建立付款連結",
             "請確認網路連線後再試，或在 Claude 對話中輸入「我想訂閱Mirrowen」。"}},
    };
    signIn();
    controller = std::make_unique<StatusBarController>(fakes.platform, keychain, oauth);
    settle();
    for (const auto& c : cases) {
        mcp["create_checkout"] = c.result;
        fakes.workspace.opened.clear();
        fakes.alerts.shown.clear();
        mcpSeen.clear();
        click(platform::MenuAction::subscribe);
        settle();
        EXPECT_EQ(mcpSeen, std::vector<std::string>{"create_checkout"}) << c.name;
        EXPECT_EQ(fakes.workspace.opened,
                  c.opened ? std::vector<std::string>{*c.opened} : std::vector<std::string>{})
            << c.name;
        ASSERT_EQ(fakes.alerts.shown.size(), c.alert ? 1u : 0u) << c.name;
        if (c.alert) {
            EXPECT_EQ(fakes.alerts.shown[0].messageText, c.alert->messageText) << c.name;
            EXPECT_EQ(fakes.alerts.shown[0].informativeText, c.alert->informativeText) << c.name;
        }
    }
    const auto sent = Json::parse(fakes.http.requests().back().body);
    EXPECT_EQ(sent["params"], Json::parse(R"({"name":"create_checkout",)"
                                          R"("arguments":{"invoice_type":"donate"}})"));
}

TEST_F(ServiceChecksTest, LinksFromOutsideOpenOnlyAsWebPages) {
    struct Case {
        std::string link;  // a pushed message's "url", and the checkout answer's text
        bool pushOpens;
        std::optional<std::string> checkoutOpens;
        std::string pushScheme;  // named in the journal; empty: no line
        std::string checkoutScheme;
    };
    const std::vector<Case> cases = {
        {"https://pay.example.com/a", true, "https://pay.example.com/a", "", ""},
        {"http://pay.example.com/a", true, "http://pay.example.com/a", "", ""},
        {"HTTPS://PAY.example.com/a", true, "HTTPS://PAY.example.com/a", "", ""},
        {"file:///etc/passwd", false, std::nullopt, "file", ""},
        {"javascript://x/%0aalert(1)", false, std::nullopt, "javascript", ""},
        {"zandorin-auth://callback?code=c", false, std::nullopt, "zandorin-auth", ""},
        {"www.evil.example:/x", false, std::nullopt, "www.evil.example", "www.evil.example"},
        {"www.a.example https://b.example/pay", false, "https://b.example/pay", "", ""},
    };
    signIn();
    controller = std::make_unique<StatusBarController>(fakes.platform, keychain, oauth);
    AppDelegate delegate{fakes.platform, keychain, oauth, push};
    settle();
    const auto journal = [this](const std::string& category) {
        std::vector<std::string> lines;
        for (const auto& line : fakes.systemLog.lines()) {
            if (line.category == category) {
                lines.push_back(line.message);
            }
        }
        return lines;
    };
    for (const auto& c : cases) {
        for (const bool pushed : {true, false}) {
            const auto linesBefore = journal(pushed ? "Push" : "Checkout").size();
            fakes.workspace.opened.clear();
            if (pushed) {
                platform::NotificationResponse response;
                response.request.content.userInfo = {{"title", "T"}, {"url", c.link}};
                delegate.didReceive(response, [] {});
            } else {
                mcp["create_checkout"] = toolText(c.link);
                click(platform::MenuAction::subscribe);
                settle();
            }
            const auto opens =
                pushed ? (c.pushOpens ? std::optional(c.link) : std::nullopt) : c.checkoutOpens;
            EXPECT_EQ(fakes.workspace.opened,
                      opens ? std::vector<std::string>{*opens} : std::vector<std::string>{})
                << c.link << pushed;
            const auto lines = journal(pushed ? "Push" : "Checkout");
            const auto& scheme = pushed ? c.pushScheme : c.checkoutScheme;
            ASSERT_EQ(lines.size(), linesBefore + (scheme.empty() ? 0 : 1)) << c.link << pushed;
            if (!scheme.empty()) {
                EXPECT_NE(lines.back().find('"' + scheme + '"'), std::string::npos) << lines.back();
                EXPECT_EQ(lines.back().find(c.link), std::string::npos) << lines.back();
            }
        }
    }
}

TEST_F(ServiceChecksTest, ReconnectRefreshesThenChecksOnce) {
    signIn();
    mcp["check_subscription_status"] = toolText("✅");
    controller = std::make_unique<StatusBarController>(fakes.platform, keychain, oauth);
    // Reconnect runs while the first check waits for its answer: no second check.
    click(platform::MenuAction::reconnect);
    whileSending = [this] {
        for (int i = 0; i < 10 && fakes.executor.runNext(); ++i) {
        }
        fakes.mainQueue.runPending();
    };
    settle();
    EXPECT_EQ(keychain.load("refresh_token"), "R2");
    EXPECT_EQ(std::count(mcpSeen.begin(), mcpSeen.end(), "initialize"), 1);

    // Reconnect after the check: refreshed, checked again.
    click(platform::MenuAction::reconnect);
    settle();
    EXPECT_EQ(std::count(mcpSeen.begin(), mcpSeen.end(), "initialize"), 2);

    // A refused refresh signs out; the check that follows shows the signed-out menu.
    tokenAnswer = answer(400, R"({"error":"invalid_grant"})");
    click(platform::MenuAction::reconnect);
    settle();
    EXPECT_FALSE(keychain.load("access_token"));
    EXPECT_EQ(state(), (State{{}, {}, {}, false}));
    EXPECT_EQ(test::describe(fakes.statusBar.item->menus.back()).front(),
              "status Mirrowen [circle.fill red]");
    EXPECT_EQ(std::count(mcpSeen.begin(), mcpSeen.end(), "initialize"), 2);
}

}  // namespace
}  // namespace zandorin
