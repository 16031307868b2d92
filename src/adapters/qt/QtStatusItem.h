#pragma once

#include <functional>
#include <memory>
#include <utility>

#include <QMenu>
#include <QSystemTrayIcon>

#include "platform/StatusItem.h"

namespace zandorin::adapters {

class QtStatusNotifierItem;

// The tray entry and the one menu it keeps for its whole life; each model refills that menu.
// Where a StatusNotifierItem host runs, the entry and its menu are exported over D-Bus for the
// panel to draw; otherwise an XEmbed tray icon pops a widget menu at the pointer, where X11
// places it. Main thread only.
class QtStatusItem final : public platform::StatusItem {
public:
    // `busLost` runs when an exported entry loses its session-bus connection.
    explicit QtStatusItem(bool statusNotifierHost, std::function<void()> busLost = {});
    ~QtStatusItem() override;

    QtStatusItem(const QtStatusItem&) = delete;
    QtStatusItem& operator=(const QtStatusItem&) = delete;

    bool hasButton() const override { return true; }
    bool setImage(const platform::StatusItemImage& image) override;
    void setMenu(const platform::MenuModel& menu) override;
    void setActionHandler(std::function<void(platform::MenuAction)> handler) override;

    // The XEmbed tray's menu; null for an exported entry.
    QMenu* menuForTesting() const { return menu_.get(); }

private:
    void fill(const platform::MenuModel& model);
    void addItem(const platform::MenuItem& item);
    void showWhenComplete();
    void perform(platform::MenuAction action) const;

    std::unique_ptr<QtStatusNotifierItem> exported_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;  // declared after menu_: goes first
    std::function<void(platform::MenuAction)> handler_;
    bool hasImage_ = false;
    bool hasMenu_ = false;
};

class QtStatusBar final : public platform::StatusBar {
public:
    // Handed to every item it makes.
    explicit QtStatusBar(std::function<void()> busLost) : busLost_(std::move(busLost)) {}

    std::unique_ptr<platform::StatusItem> makeStatusItem() override;

private:
    std::function<void()> busLost_;
};

}  // namespace zandorin::adapters
