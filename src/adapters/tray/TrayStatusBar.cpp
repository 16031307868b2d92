#include "adapters/tray/TrayStatusBar.h"

#include <utility>

#include "adapters/tray/StatusNotifierItem.h"
#include "adapters/tray/TrayProbe.h"
#include "adapters/tray/XEmbedStatusItem.h"

namespace zandorin::adapters {

TrayStatusBar::Kind TrayStatusBar::detect() {
    return tray::statusNotifierHostReady() ? Kind::statusNotifier : Kind::xembed;
}

TrayStatusBar::TrayStatusBar(Kind kind, std::function<void()> busLost)
    : kind_(kind), busLost_(std::move(busLost)) {}

std::unique_ptr<platform::StatusItem> TrayStatusBar::makeStatusItem() {
    if (kind_ == Kind::statusNotifier) {
        return std::make_unique<StatusNotifierItem>(busLost_);
    }
    return std::make_unique<XEmbedStatusItem>();
}

}  // namespace zandorin::adapters
