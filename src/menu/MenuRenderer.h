#pragma once

#include <optional>
#include <string>

#include "platform/MenuModel.h"
#include "service/KnowledgeStats.h"

namespace zandorin {

// Everything one rendering of the menu reads, taken at the moment of rendering.
struct MenuState {
    struct SignIn {
        bool expired = true;
        std::optional<std::string> displayName;
    };
    std::optional<SignIn> signIn;    // nothing when no access token is stored
    bool keyringUnreadable = false;  // then nobody knows whether one is
    std::optional<bool> mcpServerReachable;
    std::optional<bool> subscriptionActive;
    std::optional<std::string> subscriptionText;
    std::optional<KnowledgeStats> stats;
};

// Builds the menu from scratch, always in the same order.
class MenuRenderer {
public:
    static platform::MenuModel render(const MenuState& state);

private:
    explicit MenuRenderer(const MenuState& state) : state_(state) {}

    void addStatusLine();
    void addSectionHeader(const std::string& title);
    void addStatRow(const std::string& symbol, const std::string& label, const std::string& value,
                    platform::Color valueColor);
    void addDashboard();
    void addInfoLine(const std::string& title);
    void addCommand(const std::string& title, platform::MenuAction action,
                    const std::string& keyEquivalent = {},
                    std::optional<std::string> symbol = std::nullopt);
    void addSeparator();
    void addSubscriptionLines();

    const MenuState& state_;
    platform::MenuModel menu_;
};

}  // namespace zandorin
