#include "support/Fakes.h"

namespace zandorin::test {
namespace {

std::string colorName(const std::optional<platform::Color>& color) {
    constexpr const char* kNames[] = {"label", "grey",   "red",  "yellow",
                                      "green", "orange", "blue", "purple"};
    return color ? kNames[static_cast<int>(*color)] : "none";
}

// "[name colour]" for a tinted symbol, "[name]" for a plain one, "(name)" for a small one.
std::string symbolText(const platform::MenuItem& item) {
    using platform::SymbolStyle;
    if (!item.symbol) {
        return "";
    }
    if (item.symbolStyle == SymbolStyle::small) {
        return " (" + *item.symbol + ")";
    }
    const bool tinted = item.symbolStyle == SymbolStyle::palette;
    return " [" + *item.symbol + (tinted ? " " + colorName(item.symbolColor) : "") + "]";
}

}  // namespace

std::vector<std::string> describe(const platform::MenuModel& menu) {
    using platform::MenuItemKind;
    std::vector<std::string> lines;
    for (const auto& item : menu.items) {
        std::string line;
        switch (item.kind) {
            case MenuItemKind::separator:
                line = "---";
                break;
            case MenuItemKind::infoLine:
                line = "info " + item.title;
                break;
            case MenuItemKind::statusLine:
                line = "status " + item.title + symbolText(item);
                break;
            case MenuItemKind::sectionHeader:
                line = "header " + item.title;
                break;
            case MenuItemKind::statRow:
                line = "stat " + item.title + " | " + item.value + symbolText(item) + " " +
                       colorName(item.valueColor);
                break;
            case MenuItemKind::command:
                line = "command " + item.title + symbolText(item) + " -> " +
                       (item.action ? platform::selectorName(*item.action) : "none");
                if (!item.keyEquivalent.empty()) {
                    line += " key " + item.keyEquivalent;
                }
                break;
        }
        if (item.enabled != (item.kind == MenuItemKind::command)) {
            line += item.enabled ? " (enabled)" : " (disabled)";
        }
        lines.push_back(line);
    }
    return lines;
}

}  // namespace zandorin::test
