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
    // `exportedOverDBus`: the tray is a StatusNotifierItem whose menu the desktop shell draws
    // from dbusmenu labels, where "_" marks a mnemonic.
    explicit QtStatusItem(bool exportedOverDBus);
    ~QtStatusItem() override;

    QtStatusItem(const QtStatusItem&) = delete;
    QtStatusItem& operator=(const QtStatusItem&) = delete;

    bool hasButton() const override { return true; }
    bool setImage(const platform::StatusItemImage& image) override;
    void setMenu(const platform::MenuModel& menu) override;
    void setActionHandler(std::function<void(platform::MenuAction)> handler) override;

    QMenu* menuForTesting() const { return menu_.get(); }
    QMenu* popupMenuForTesting() const { return popupMenu_.get(); }
    QSystemTrayIcon* trayIconForTesting() const { return tray_.get(); }

private:
    enum class Labels { widget, dbusmenu };
    void fill(QMenu& menu, const platform::MenuModel& model, Labels labels);
    void addItem(QMenu& menu, const platform::MenuItem& item, Labels labels);
    void showWhenComplete();

    const bool exportedOverDBus_;
    // The menu the tray exports; over dbusmenu its labels are written for dbusmenu, so a plain
    // click gets a widget menu of its own with the labels written for QMenu.
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QMenu> popupMenu_;
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
