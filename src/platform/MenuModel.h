#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zandorin::platform {

// Semantic colours; the adapter picks the desktop's shade of each.
enum class Color {
    label,
    secondaryLabel,
    systemRed,
    systemYellow,
    systemGreen,
    systemOrange,
    systemBlue,
    systemPurple,
};

enum class MenuAction { login, logout, subscribe, reconnect, quit, unlockKeyring };

enum class MenuItemKind {
    infoLine,       // plain disabled text
    statusLine,     // disabled text with a symbol tinted in one palette colour
    sectionHeader,  // disabled text, small semibold secondary font
    statRow,        // disabled two-column row: label, tab, value in valueColor
    command,        // enabled entry with an action
    separator,
};

// How a symbol image is configured.
enum class SymbolStyle {
    plain,    // the symbol as it is
    palette,  // tinted with symbolColor
    small,    // point size 12, regular weight, no colour of its own
};

struct MenuItem {
    MenuItemKind kind = MenuItemKind::infoLine;
    std::string title;  // for a stat row: the label
    std::optional<std::string> symbol;
    SymbolStyle symbolStyle = SymbolStyle::plain;
    std::optional<Color> symbolColor;
    std::string value;  // stat rows only
    std::optional<Color> valueColor;
    std::optional<MenuAction> action;
    std::string keyEquivalent;  // a single lower-case letter, or empty

    bool operator==(const MenuItem&) const = default;
};

struct MenuModel {
    std::vector<MenuItem> items;

    bool operator==(const MenuModel&) const = default;
};

}  // namespace zandorin::platform
