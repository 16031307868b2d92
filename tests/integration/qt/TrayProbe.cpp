// A tray application in miniature for test_tray_export.py: it starts the way the real one does
// (display check, waiting for the tray, status item, menu, event loop) and reports on stdout.
//
// Usage: zandorin_qt_tray_probe [tray patience in ms]
// Exit status: 0 after the quit command, 2 without a tray, 3 without a display.

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

#include "adapters/qt/QtApplicationHost.h"

namespace {

using zandorin::platform::Color;
using zandorin::platform::MenuAction;
using zandorin::platform::MenuItem;
using zandorin::platform::MenuItemKind;
using zandorin::platform::MenuModel;
using zandorin::platform::SymbolStyle;

void report(const std::string& line) {
    std::cout << line << std::endl;
}

MenuItem row(MenuItemKind kind, std::string title) {
    MenuItem item;
    item.kind = kind;
    item.title = std::move(title);
    return item;
}

MenuItem command(std::string title, MenuAction action, std::string key = "") {
    MenuItem item = row(MenuItemKind::command, std::move(title));
    item.action = action;
    item.keyEquivalent = std::move(key);
    item.enabled = true;
    return item;
}

MenuModel firstModel() {
    MenuItem status = row(MenuItemKind::statusLine, "Mirrowen — ada@example.com");
    status.symbol = "circle.fill";
    status.symbolStyle = SymbolStyle::palette;
    status.symbolColor = Color::systemGreen;
    MenuItem credits = row(MenuItemKind::statRow, "    點數");
    credits.value = "1,234";
    credits.symbol = "creditcard.fill";
    credits.symbolStyle = SymbolStyle::small;
    return {{
        status,
        row(MenuItemKind::separator, ""),
        row(MenuItemKind::sectionHeader, "  Tirrel知識庫"),
        credits,
        row(MenuItemKind::infoLine, "    R&D 載入中…"),
        row(MenuItemKind::separator, ""),
        command("重新連線", MenuAction::reconnect, "r"),
        command("登出", MenuAction::logout),
        row(MenuItemKind::separator, ""),
        command("結束", MenuAction::quit, "q"),
    }};
}

MenuModel secondModel() {
    return {{
        row(MenuItemKind::statusLine, "Mirrowen"),
        row(MenuItemKind::separator, ""),
        command("登入 Kestrune 帳號…", MenuAction::login),
        row(MenuItemKind::separator, ""),
        command("結束", MenuAction::quit, "q"),
    }};
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto missing = zandorin::adapters::QtApplicationHost::missingDisplay()) {
        report("NO DISPLAY " + *missing);
        return 3;
    }
    const std::chrono::milliseconds patience{argc > 1 ? std::atoi(argv[1]) : 5000};

    zandorin::adapters::QtApplicationHost host(argc, argv);
    if (const auto missing = host.waitForSystemTray(patience)) {
        report("NO TRAY " + *missing);
        return 2;
    }

    auto item = host.statusBar().makeStatusItem();
    item->setActionHandler([&](MenuAction action) {
        report(std::string("ACTION ") + zandorin::platform::selectorName(action));
        if (action == MenuAction::logout) {
            item->setMenu(secondModel());
        } else if (action == MenuAction::quit) {
            host.application().terminate();
        }
    });
    if (!item->setImage({"StatusBarIcon", true, 18, 18})) {
        report("NO IMAGE");
    }
    item->setMenu(firstModel());
    host.whenLaunched([] { report("LAUNCHED"); });

    const int status = host.exec();
    item.reset();
    return status;
}
