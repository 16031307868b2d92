#pragma once

#include <functional>
#include <memory>

#include "platform/StatusItem.h"

namespace zandorin::adapters {

// The product's name, as panels show the entry in their lists and tooltips.
inline constexpr const char* kTrayTitle = "ZandorinAuth";

// Makes entries for the one kind of tray this desktop offers, decided when the bar is made.
// Qt-free, so that the application host's header stays so.
class TrayStatusBar final : public platform::StatusBar {
public:
    enum class Kind {
        statusNotifier,  // exported over D-Bus with its dbusmenu, for the panel to draw
        xembed,          // an XEmbed icon with a widget menu
    };

    // A StatusNotifierItem host when one is registered, else XEmbed (where Qt may still find a
    // tray of its own).
    static Kind detect();

    // `busLost` runs when an exported entry loses its session-bus connection.
    TrayStatusBar(Kind kind, std::function<void()> busLost);

    std::unique_ptr<platform::StatusItem> makeStatusItem() override;

private:
    Kind kind_;
    std::function<void()> busLost_;
};

}  // namespace zandorin::adapters
