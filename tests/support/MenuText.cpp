#include "support/MenuText.h"

namespace zandorin::test {
namespace {

const char* colorName(platform::Color color) {
    using platform::Color;
    switch (color) {
        case Color::label:
            return "label";
        case Color::secondaryLabel:
            return "grey";
        case Color::systemRed:
            return "red";
        case Color::systemYellow:
            return "yellow";
        case Color::systemGreen:
            return "green";
        case Color::systemOrange:
            return "orange";
        case Color::systemBlue:
            return "blue";
        case Color::systemPurple:
            return "purple";
    }
    return "?";
}

std::string symbolText(const platform::MenuItem& item) {
    if (!item.symbol) {
        return "";
    }
    std::string text = " [" + *item.symbol;
    if (item.symbolColor) {
        text += std::string(" ") + colorName(*item.symbolColor);
    }
    return text + "]";
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
                       (item.valueColor ? colorName(*item.valueColor) : "none");
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
