#include <gtest/gtest.h>

#include "menu/MenuRenderer.h"
#include "support/MenuText.h"

namespace zandorin {
namespace {

using Lines = std::vector<std::string>;

MenuState signedIn(bool expired = false, std::optional<std::string> name = "ada@example.com") {
    MenuState state;
    state.signIn = MenuState::SignIn{expired, std::move(name)};
    return state;
}

MenuState with(MenuState state, std::optional<bool> reachable, std::optional<bool> active = {},
               std::optional<std::string> text = {}) {
    state.mcpServerReachable = reachable;
    state.subscriptionActive = active;
    state.subscriptionText = std::move(text);
    return state;
}

const Lines kLoading = {"header   Tirrel知識庫", "info     載入中…"};
const Lines kTail = {"command 登出 -> logout", "---", "command 結束 -> quit key q"};

Lines join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

struct LayoutCase {
    std::string name;
    MenuState state;
    Lines expected;
};

TEST(MenuRendererTest, Layouts) {
    MenuState signedOutWithStats;
    signedOutWithStats.stats = KnowledgeStats{12, 3, 40, "2026-12-01"};
    signedOutWithStats.mcpServerReachable = false;  // stale state never shows when signed out

    MenuState odd = signedIn();
    odd.stats = KnowledgeStats{1234, -5, 0, ""};

    const std::vector<LayoutCase> cases = {
        {"signed out", MenuState{},
         join({{"status Mirrowen [circle.fill red]", "---"},
               kLoading,
               {"---", "command 登入 Kestrune 帳號… -> login", "---",
                "command 結束 -> quit key q"}})},
        {"signed out with stats loaded",
         signedOutWithStats,
         {"status Mirrowen [circle.fill red]", "---", "header   Tirrel知識庫 · 儀表板",
          "stat     專題文章 | 12 篇 [doc.text.fill] orange",
          "stat     專案文章 | 3 篇 [folder.fill] blue",
          "stat     Skill 技能 | 40 份 [sparkles] purple",
          "stat     新聞更新 | 2026-12-01 [newspaper.fill] green", "---",
          "command 登入 Kestrune 帳號… -> login", "---", "command 結束 -> quit key q"}},
        {"signed in, nothing checked yet", signedIn(),
         join({{"status Mirrowen — ada@example.com [circle grey]", "---"},
               kLoading,
               {"---", "info   已登入", "info   MCP Server 檢查中...", "---"},
               kTail})},
        {"reachable, subscription unknown", with(signedIn(), true),
         join({{"status Mirrowen — ada@example.com [circle.fill yellow]", "---"},
               kLoading,
               {"---", "info   已登入", "info   MCP Server 連線正常", "info   ⋯ 訂閱狀態檢查中",
                "---"},
               kTail})},
        {"reachable, active", with(signedIn(), true, true, "✅ 訂閱仍有效"),
         join({{"status Mirrowen — ada@example.com [circle.fill green]", "---"},
               kLoading,
               {"---", "info   已登入", "info   MCP Server 連線正常", "info   ✅ 訂閱仍有效", "---"},
               kTail})},
        {"reachable, inactive", with(signedIn(), true, false, "尚未訂閱"),
         join({{"status Mirrowen — ada@example.com [circle.fill yellow]", "---"},
               kLoading,
               {"---", "info   已登入", "info   MCP Server 連線正常", "info   尚未訂閱", "---",
                "command 訂閱Mirrowen NT$6,000/年… [creditcard.fill] -> subscribe"},
               kTail})},
        {"unreachable keeps old text and offers reconnect",
         with(signedIn(), false, std::nullopt, "舊的狀態"),
         join({{"status Mirrowen — ada@example.com [circle.fill yellow]", "---"},
               kLoading,
               {"---", "info   已登入", "info   MCP Server 無法連線", "info   舊的狀態", "---",
                "command 重新連線 -> reconnect key r"},
               kTail})},
        {"expiry wins over a green state", with(signedIn(true), true, true, "✅"),
         join({{"status Mirrowen — ada@example.com [circle.fill yellow]", "---"},
               kLoading,
               {"---", "info   登入已過期", "info   MCP Server 連線正常", "info   ✅", "---",
                "command 重新連線 -> reconnect key r"},
               kTail})},
        {"unreadable token: no name, expired", signedIn(true, std::nullopt),
         join({{"status Mirrowen — 已登入 [circle.fill yellow]", "---"},
               kLoading,
               {"---", "info   登入已過期", "info   MCP Server 檢查中...", "---",
                "command 重新連線 -> reconnect key r"},
               kTail})},
        {"inactive and unreachable offers both", with(signedIn(), false, false, "x"),
         join({{"status Mirrowen — ada@example.com [circle.fill yellow]", "---"},
               kLoading,
               {"---", "info   已登入", "info   MCP Server 無法連線", "info   x", "---",
                "command 訂閱Mirrowen NT$6,000/年… [creditcard.fill] -> subscribe",
                "command 重新連線 -> reconnect key r"},
               kTail})},
        {"empty text suppresses the checking line", with(signedIn(), true, false, ""),
         join({{"status Mirrowen — ada@example.com [circle.fill yellow]", "---"},
               kLoading,
               {"---", "info   已登入", "info   MCP Server 連線正常", "---",
                "command 訂閱Mirrowen NT$6,000/年… [creditcard.fill] -> subscribe"},
               kTail})},
        {"text lines are trimmed, blanks dropped, CR kept",
         with(signedIn(), true, true, "  第一行\t\n\n \u3000 \n\t第二行 \r\n"),
         join({{"status Mirrowen — ada@example.com [circle.fill green]", "---"},
               kLoading,
               {"---", "info   已登入", "info   MCP Server 連線正常", "info   第一行",
                "info   第二行 \r", "---"},
               kTail})},
        {"numbers plain, empty date is a dash", odd,
         join({{"status Mirrowen — ada@example.com [circle grey]", "---",
                "header   Tirrel知識庫 · 儀表板",
                "stat     專題文章 | 1234 篇 [doc.text.fill] orange",
                "stat     專案文章 | -5 篇 [folder.fill] blue",
                "stat     Skill 技能 | 0 份 [sparkles] purple",
                "stat     新聞更新 | — [newspaper.fill] green", "---", "info   已登入",
                "info   MCP Server 檢查中...", "---"},
               kTail})},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(test::describe(MenuRenderer::render(c.state)), c.expected) << c.name;
    }
}

TEST(MenuRendererTest, ItemsCarryTheirStylingAndOnlyCommandsAreEnabled) {
    MenuState state = with(signedIn(), true, false, "t");
    state.stats = KnowledgeStats{1, 2, 3, "d"};
    const auto menu = MenuRenderer::render(state);
    for (const auto& item : menu.items) {
        EXPECT_EQ(item.enabled, item.kind == platform::MenuItemKind::command) << item.title;
        EXPECT_EQ(item.action.has_value(), item.kind == platform::MenuItemKind::command)
            << item.title;
        if (item.kind == platform::MenuItemKind::statRow) {
            EXPECT_EQ(item.symbolStyle, platform::SymbolStyle::small);
        }
        if (item.kind == platform::MenuItemKind::statusLine) {
            EXPECT_EQ(item.symbolStyle, platform::SymbolStyle::palette);
        }
        if (item.action == platform::MenuAction::subscribe) {
            EXPECT_EQ(item.symbolStyle, platform::SymbolStyle::plain);
            EXPECT_FALSE(item.symbolColor);
        }
    }
    // Rendering keeps no state: the same input gives the same menu.
    EXPECT_EQ(MenuRenderer::render(state), menu);
}

}  // namespace
}  // namespace zandorin
