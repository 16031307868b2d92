// A tray application in miniature for test_tray_export.py: it starts the way the real one does
// (waiting for the tray, status item, menu, event loop) and says "LAUNCHED" on stdout, then
// "ACTION <selector>" for every command that reaches it. "quit" ends it; the others rebuild the
// menu, as the application's commands do.
//
// Usage: zandorin_qt_tray_probe [tray patience in ms]
// Exit status: 2 without a tray; otherwise it runs until stopped.

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

#include "adapters/qt/QtApplicationHost.h"

using zandorin::platform::MenuItem;
using zandorin::platform::MenuItemKind;

int main(int argc, char** argv) {
    const std::chrono::milliseconds patience{argc > 1 ? std::atoi(argv[1]) : 5000};
    zandorin::adapters::QtApplicationHost host(argc, argv);
    if (const auto missing = host.waitForSystemTray(patience)) {
        std::cout << "NO TRAY " << *missing << std::endl;
        return 2;
    }
    auto row = [](MenuItemKind kind, std::string title, std::string value = "") {
        MenuItem item;
        item.kind = kind;
        item.title = std::move(title);
        item.value = std::move(value);
        return item;
    };
    MenuItem quit = row(MenuItemKind::command, "結束");
    quit.action = zandorin::platform::MenuAction::quit;
    quit.keyEquivalent.push_back('q');  // GCC 12 at -O2 misreads assigning a literal (-Wrestrict)
    quit.enabled = true;
    MenuItem reconnect = row(MenuItemKind::command, "重新連線");
    reconnect.action = zandorin::platform::MenuAction::reconnect;
    reconnect.enabled = true;
    const zandorin::platform::MenuModel menu{
        {row(MenuItemKind::statusLine, "Mirrowen — ada_l@example.com"),
         row(MenuItemKind::separator, ""), row(MenuItemKind::statRow, "    點數", "1,234"),
         row(MenuItemKind::infoLine, "    R&D 載入中…"), reconnect, quit}};

    auto item = host.statusBar().makeStatusItem();
    item->setActionHandler([&](zandorin::platform::MenuAction action) {
        std::cout << "ACTION " << zandorin::platform::selectorName(action) << std::endl;
        if (action == zandorin::platform::MenuAction::quit) {
            host.application().terminate();
        } else {
            item->setMenu(menu);
        }
    });
    item->setImage({"StatusBarIcon", true, 18, 18});
    item->setMenu(menu);
    host.whenLaunched([] { std::cout << "LAUNCHED" << std::endl; });
    return host.exec();
}
