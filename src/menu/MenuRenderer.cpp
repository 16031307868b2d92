#include "menu/MenuRenderer.h"

#include <utility>

#include "common/Text.h"

namespace zandorin {

using platform::Color;
using platform::MenuAction;
using platform::MenuItem;
using platform::MenuItemKind;
using platform::SymbolStyle;

platform::MenuModel MenuRenderer::render(const MenuState& state) {
    MenuRenderer renderer(state);
    renderer.addStatusLine();
    renderer.addSeparator();
    renderer.addDashboard();
    renderer.addSeparator();

    if (state.keyringUnreadable) {
        // A sign-in may be stored there: never offer a new one as if there were none.
        renderer.addInfoLine("  鑰匙圈已鎖定或無法讀取，登入狀態未知");
        renderer.addCommand("解鎖鑰匙圈…", MenuAction::unlockKeyring);
    } else if (!state.signIn) {
        renderer.addCommand("登入 Kestrune 帳號…", MenuAction::login);
    } else {
        const bool expired = state.signIn->expired;
        renderer.addInfoLine(expired ? "  登入已過期" : "  已登入");
        if (!state.mcpServerReachable) {
            renderer.addInfoLine("  MCP Server 檢查中...");
        } else if (*state.mcpServerReachable) {
            renderer.addInfoLine("  MCP Server 連線正常");
        } else {
            renderer.addInfoLine("  MCP Server 無法連線");
        }
        renderer.addSubscriptionLines();
        renderer.addSeparator();
        if (state.subscriptionActive == false) {
            renderer.addCommand("訂閱Mirrowen NT$6,000/年…", MenuAction::subscribe, {},
                                "creditcard.fill");
        }
        if (expired || state.mcpServerReachable == false) {
            renderer.addCommand("重新連線", MenuAction::reconnect, "r");
        }
        renderer.addCommand("登出", MenuAction::logout);
    }

    renderer.addSeparator();
    renderer.addCommand("結束", MenuAction::quit, "q");
    return std::move(renderer.menu_);
}

void MenuRenderer::addStatusLine() {
    MenuItem item;
    item.kind = MenuItemKind::statusLine;
    item.symbolStyle = SymbolStyle::palette;
    item.symbol = "circle.fill";
    if (state_.keyringUnreadable) {
        item.title = "Mirrowen";
        item.symbolColor = Color::systemYellow;
    } else if (!state_.signIn) {
        item.title = "Mirrowen";
        item.symbolColor = Color::systemRed;
    } else {
        item.title = "Mirrowen — " + state_.signIn->displayName.value_or("已登入");
        if (state_.signIn->expired) {
            item.symbolColor = Color::systemYellow;
        } else if (!state_.mcpServerReachable) {
            item.symbol = "circle";
            item.symbolColor = Color::secondaryLabel;
        } else if (*state_.mcpServerReachable && state_.subscriptionActive == true) {
            item.symbolColor = Color::systemGreen;
        } else {
            item.symbolColor = Color::systemYellow;
        }
    }
    menu_.items.push_back(std::move(item));
}

void MenuRenderer::addSubscriptionLines() {
    if (state_.subscriptionText) {
        for (const auto piece : text::split(*state_.subscriptionText, '\n')) {
            const auto trimmed = text::trimHorizontalWhitespace(piece);
            if (!trimmed.empty()) {
                addInfoLine("  " + std::string(trimmed));
            }
        }
    } else if (state_.mcpServerReachable == true) {
        addInfoLine("  ⋯ 訂閱狀態檢查中");
    }
}

void MenuRenderer::addSectionHeader(const std::string& title) {
    MenuItem item;
    item.kind = MenuItemKind::sectionHeader;
    item.title = title;
    menu_.items.push_back(std::move(item));
}

void MenuRenderer::addStatRow(const std::string& symbol, const std::string& label,
                              const std::string& value, Color valueColor) {
    MenuItem item;
    item.kind = MenuItemKind::statRow;
    item.symbol = symbol;
    item.symbolStyle = SymbolStyle::small;
    item.title = label;
    item.value = value;
    item.valueColor = valueColor;
    menu_.items.push_back(std::move(item));
}

void MenuRenderer::addDashboard() {
    if (!state_.stats) {
        addSectionHeader("  Tirrel知識庫");
        addInfoLine("    載入中…");
        return;
    }
    const KnowledgeStats& stats = *state_.stats;
    addSectionHeader("  Tirrel知識庫 · 儀表板");
    addStatRow("doc.text.fill", "    專題文章", std::to_string(stats.topics) + " 篇",
               Color::systemOrange);
    addStatRow("folder.fill", "    專案文章", std::to_string(stats.projects) + " 篇",
               Color::systemBlue);
    addStatRow("sparkles", "    Skill 技能", std::to_string(stats.skills) + " 份",
               Color::systemPurple);
    addStatRow("newspaper.fill", "    新聞更新",
               stats.latestNewsDate.empty() ? "—" : stats.latestNewsDate, Color::systemGreen);
}

void MenuRenderer::addInfoLine(const std::string& title) {
    MenuItem item;
    item.kind = MenuItemKind::infoLine;
    item.title = title;
    menu_.items.push_back(std::move(item));
}

void MenuRenderer::addCommand(const std::string& title, MenuAction action,
                              const std::string& keyEquivalent, std::optional<std::string> symbol) {
    MenuItem item;
    item.kind = MenuItemKind::command;
    item.title = title;
    item.action = action;
    item.keyEquivalent = keyEquivalent;
    item.symbol = std::move(symbol);
    menu_.items.push_back(std::move(item));
}

void MenuRenderer::addSeparator() {
    MenuItem item;
    item.kind = MenuItemKind::separator;
    menu_.items.push_back(std::move(item));
}

}  // namespace zandorin
