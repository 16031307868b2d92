#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/MenuModel.h"

namespace zandorin::platform {

struct StatusItemImage {
    std::string name;        // a resource name, e.g. "StatusBarIcon"
    bool isTemplate = true;  // drawn as a mask the desktop tints
    double width = 18;
    double height = 18;
};

// The menu-bar entry and its menu.
class StatusItem {
public:
    virtual ~StatusItem() = default;

    virtual bool hasButton() const = 0;

    // Shows the named image; false (and no image) when the resource does not exist.
    virtual bool setImage(const StatusItemImage& image) = 0;

    // Attaches the menu, replacing its whole contents.
    virtual void setMenu(const MenuModel& menu) = 0;

    // Where the menu's commands go; called on the main thread.
    virtual void setActionHandler(std::function<void(MenuAction)> handler) = 0;
};

class StatusBar {
public:
    virtual ~StatusBar() = default;
    virtual std::unique_ptr<StatusItem> makeStatusItem() = 0;
};

}  // namespace zandorin::platform
