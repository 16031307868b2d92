#pragma once

#include <functional>
#include <memory>

#include <QMenu>
#include <QSystemTrayIcon>

#include "platform/StatusItem.h"

namespace zandorin::adapters {

// A tray icon and the one menu it keeps for its whole life; each model refills that menu.
// Main thread only.
class QtStatusItem final : public platform::StatusItem {
public:
    QtStatusItem();
    ~QtStatusItem() override;

    QtStatusItem(const QtStatusItem&) = delete;
    QtStatusItem& operator=(const QtStatusItem&) = delete;

    bool hasButton() const override { return true; }
    bool setImage(const platform::StatusItemImage& image) override;
    void setMenu(const platform::MenuModel& menu) override;
    void setActionHandler(std::function<void(platform::MenuAction)> handler) override;

    QMenu* menuForTesting() const { return menu_.get(); }
    QSystemTrayIcon* trayIconForTesting() const { return tray_.get(); }

private:
    void addItem(const platform::MenuItem& item);
    void showWhenComplete();

    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;  // declared after menu_: goes first
    std::function<void(platform::MenuAction)> handler_;
    bool hasImage_ = false;
    bool hasMenu_ = false;
};

class QtStatusBar final : public platform::StatusBar {
public:
    std::unique_ptr<platform::StatusItem> makeStatusItem() override;
};

}  // namespace zandorin::adapters
