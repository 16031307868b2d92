#include <gtest/gtest.h>

#include "menu/MenuRenderer.h"
#include "support/Fakes.h"

namespace zandorin {
namespace {

using Lines = std::vector<std::string>;

MenuState signedIn(std::optional<bool> reachable, std::optional<bool> active = {},
                   std::optional<std::string> text = {}, bool expired = false,
                   std::optional<std::string> name = "ada@example.com") {
    MenuState state;
    state.signIn = MenuState::SignIn{expired, std::move(name)};
    state.mcpServerReachable = reachable;
    state.subscriptionActive = active;
    state.subscriptionText = std::move(text);
    return state;
}

const Lines kLoading = {"header   Tirrel知識庫", "info     載入中…"};
const std::string kAda = "status Mirrowen — ada@example.com ";
const std::string kSubscribe = "command 訂閱Mirrowen NT$6,000/年… [creditcard.fill] -> subscribe";
const std::string kReconnect = "command 重新連線 -> reconnect key r";

Lines join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

TEST(MenuRendererTest, SignedOutMenusShowTheDashboardAndTheSignInOnly) {
    MenuState withStats;
    withStats.stats = KnowledgeStats{12, 3, 40, "2026-12-01"};
    withStats.mcpServerReachable = false;  // stale state never shows when signed out
    const Lines tail = {"---", "command 登入 Kestrune 帳號… -> login", "---",
                        "command 結束 -> quit key q"};
    EXPECT_EQ(test::describe(MenuRenderer::render({})),
              join({{"status Mirrowen [circle.fill red]", "---"}, kLoading, tail}));
    EXPECT_EQ(test::describe(MenuRenderer::render(withStats)),
              join({{"status Mirrowen [circle.fill red]", "---", "header   Tirrel知識庫 · 儀表板",
                     "stat     專題文章 | 12 篇 (doc.text.fill) orange",
                     "stat     專案文章 | 3 篇 (folder.fill) blue",
                     "stat     Skill 技能 | 40 份 (sparkles) purple",
                     "stat     新聞更新 | 2026-12-01 (newspaper.fill) green"},
                    tail}));
}

TEST(MenuRendererTest, SignedInLayouts) {
    struct Case {
        std::string name;
        MenuState state;
        std::string status;
        Lines lines;  // between the dashboard and the commands
        Lines commands = {};
    };
    MenuState counts = signedIn(std::nullopt);
    counts.stats = KnowledgeStats{1234, -5, 0, ""};
    const std::string ok = "info   MCP Server 連線正常";
    const std::vector<Case> cases = {
        {"nothing checked yet",
         signedIn(std::nullopt),
         kAda + "[circle grey]",
         {"info   已登入", "info   MCP Server 檢查中..."}},
        {"reachable, subscription unknown",
         signedIn(true),
         kAda + "[circle.fill yellow]",
         {"info   已登入", ok, "info   ⋯ 訂閱狀態檢查中"}},
        {"reachable, active",
         signedIn(true, true, "✅ 訂閱仍有效"),
         kAda + "[circle.fill green]",
         {"info   已登入", ok, "info   ✅ 訂閱仍有效"}},
        {"reachable, inactive",
         signedIn(true, false, "尚未訂閱"),
         kAda + "[circle.fill yellow]",
         {"info   已登入", ok, "info   尚未訂閱"},
         {kSubscribe}},
        {"unreachable keeps the old text",
         signedIn(false, std::nullopt, "舊的狀態"),
         kAda + "[circle.fill yellow]",
         {"info   已登入", "info   MCP Server 無法連線", "info   舊的狀態"},
         {kReconnect}},
        {"expiry wins over green",
         signedIn(true, true, "✅", true),
         kAda + "[circle.fill yellow]",
         {"info   登入已過期", ok, "info   ✅"},
         {kReconnect}},
        {"unreadable token",
         signedIn(std::nullopt, {}, {}, true, std::nullopt),
         "status Mirrowen — 已登入 [circle.fill yellow]",
         {"info   登入已過期", "info   MCP Server 檢查中..."},
         {kReconnect}},
        {"inactive and unreachable",
         signedIn(false, false, "x"),
         kAda + "[circle.fill yellow]",
         {"info   已登入", "info   MCP Server 無法連線", "info   x"},
         {kSubscribe, kReconnect}},
        {"empty text: no checking line",
         signedIn(true, false, ""),
         kAda + "[circle.fill yellow]",
         {"info   已登入", ok},
         {kSubscribe}},
        {"lines trimmed, blanks dropped, CR kept",
         signedIn(true, true, "  第一行\t\n\n \u3000 \n\t第二行 \r\n"),
         kAda + "[circle.fill green]",
         {"info   已登入", ok, "info   第一行", "info   第二行 \r"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(test::describe(MenuRenderer::render(c.state)),
                  join({{c.status, "---"},
                        kLoading,
                        {"---"},
                        c.lines,
                        {"---"},
                        c.commands,
                        {"command 登出 -> logout", "---", "command 結束 -> quit key q"}}))
            << c.name;
    }
    // Counts as plain numbers, a missing date as a dash.
    EXPECT_EQ(test::describe(MenuRenderer::render(counts))[4],
              "stat     專案文章 | -5 篇 (folder.fill) blue");
    EXPECT_EQ(test::describe(MenuRenderer::render(counts))[6],
              "stat     新聞更新 | — (newspaper.fill) green");
}

}  // namespace
}  // namespace zandorin
