// A tray application in miniature for test_tray_export.py: it starts the way the real one does
// (waiting for the tray, status item, menu, event loop) and says "LAUNCHED" on stdout.
//
// Usage: zandorin_qt_tray_probe [tray patience in ms]
// Exit status: 2 without a tray; otherwise it runs until stopped.

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

#include "adapters/qt/QtApplicationHost.h"

namespace {

using zandorin::platform::MenuAction;
using zandorin::platform::MenuItem;
using zandorin::platform::MenuItemKind;

MenuItem row(MenuItemKind kind, std::string title, std::string symbol = "") {
    MenuItem item;
    item.kind = kind;
    item.title = std::move(title);
    item.symbol = std::move(symbol);
    return item;
}

MenuItem command(std::string title, MenuAction action, std::string key) {
    MenuItem item = row(MenuItemKind::command, std::move(title));
    item.action = action;
    item.keyEquivalent = std::move(key);
    item.enabled = true;
    return item;
}

}  // namespace

int main(int argc, char** argv) {
    const std::chrono::milliseconds patience{argc > 1 ? std::atoi(argv[1]) : 5000};
    zandorin::adapters::QtApplicationHost host(argc, argv);
    if (const auto missing = host.waitForSystemTray(patience)) {
        std::cout << "NO TRAY " << *missing << std::endl;
        return 2;
    }

    MenuItem status = row(MenuItemKind::statusLine, "Mirrowen — ada@example.com", "circle.fill");
    status.symbolStyle = zandorin::platform::SymbolStyle::palette;
    status.symbolColor = zandorin::platform::Color::systemGreen;
    MenuItem credits = row(MenuItemKind::statRow, "    點數", "creditcard.fill");
    credits.value = "1,234";
    const MenuItem separator = row(MenuItemKind::separator, "");

    auto item = host.statusBar().makeStatusItem();
    item->setImage({"StatusBarIcon", true, 18, 18});
    item->setMenu({{status, separator, credits, row(MenuItemKind::infoLine, "    R&D 載入中…"),
                    separator, command("重新連線", MenuAction::reconnect, "r"),
                    command("結束", MenuAction::quit, "q")}});
    host.whenLaunched([] { std::cout << "LAUNCHED" << std::endl; });
    return host.exec();
}
