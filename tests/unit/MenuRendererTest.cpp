#include <gtest/gtest.h>

#include <algorithm>

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

MenuState withStats() {
    MenuState state;
    state.stats = KnowledgeStats{12, -3, 0, ""};
    state.mcpServerReachable = false;  // stale state never shows when signed out
    return state;
}

// State by state, the lines that differ, with the symbols and colours that a desktop shell does
// not see; the whole layout's order is read over dbusmenu by the desktop tests.
TEST(MenuRendererTest, EachStateShowsItsOwnLinesInTheOneLayout) {
    const Lines fixed = {"---", "header   Tirrel知識庫", "info     載入中…",
                         "command 登出 -> logout", "command 結束 -> quit key q"};
    const std::string ada = "status Mirrowen — ada@example.com ";
    const std::string ok = "info   MCP Server 連線正常";
    const std::string signIn = "command 登入 Kestrune 帳號… -> login";
    const std::string subscribe =
        "command 訂閱Mirrowen NT$6,000/年… [creditcard.fill] -> subscribe";
    const std::string reconnect = "command 重新連線 -> reconnect key r";
    const std::vector<std::pair<MenuState, Lines>> cases = {
        {{}, {"status Mirrowen [circle.fill red]", signIn}},
        {[] {
             MenuState state;
             state.keyringUnreadable = true;
             return state;
         }(),
         {"status Mirrowen [circle.fill yellow]", "info   鑰匙圈已鎖定或無法讀取，登入狀態未知",
          "command 解鎖鑰匙圈… -> unlockKeyring"}},
        {withStats(),
         {"status Mirrowen [circle.fill red]", "header   Tirrel知識庫 · 儀表板",
          "stat     專題文章 | 12 篇 (doc.text.fill) orange",
          "stat     專案文章 | -3 篇 (folder.fill) blue",
          "stat     Skill 技能 | 0 份 (sparkles) purple",
          "stat     新聞更新 | — (newspaper.fill) green", signIn}},
        {signedIn(std::nullopt),
         {ada + "[circle grey]", "info   已登入", "info   MCP Server 檢查中..."}},
        {signedIn(true),
         {ada + "[circle.fill yellow]", "info   已登入", ok, "info   ⋯ 訂閱狀態檢查中"}},
        {signedIn(true, true, "✅ 訂閱仍有效"),
         {ada + "[circle.fill green]", "info   已登入", ok, "info   ✅ 訂閱仍有效"}},
        {signedIn(true, false, ""), {ada + "[circle.fill yellow]", "info   已登入", ok, subscribe}},
        {signedIn(false, std::nullopt, "舊的狀態"),
         {ada + "[circle.fill yellow]", "info   已登入", "info   MCP Server 無法連線",
          "info   舊的狀態", reconnect}},
        {signedIn(true, true, "✅", true),
         {ada + "[circle.fill yellow]", "info   登入已過期", ok, "info   ✅", reconnect}},
        {signedIn(std::nullopt, {}, {}, true, std::nullopt),
         {"status Mirrowen — 已登入 [circle.fill yellow]", "info   登入已過期",
          "info   MCP Server 檢查中...", reconnect}},
        // Lines trimmed, blank ones dropped, a carriage return kept.
        {signedIn(true, true, "  第一行\t\n\n \u3000 \n\t第二行 \r\n"),
         {ada + "[circle.fill green]", "info   已登入", ok, "info   第一行", "info   第二行 \r"}},
    };
    for (const auto& [state, expected] : cases) {
        auto lines = test::describe(MenuRenderer::render(state));
        EXPECT_EQ(lines.back(), fixed.back());  // quit, in every state
        std::erase_if(lines, [&](const auto& line) {
            return std::find(fixed.begin(), fixed.end(), line) != fixed.end();
        });
        EXPECT_EQ(lines, expected) << expected[0];
    }
}

}  // namespace
}  // namespace zandorin
