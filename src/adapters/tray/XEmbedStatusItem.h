#pragma once

#include <functional>
#include <memory>

#include <QMenu>
#include <QSystemTrayIcon>

#include "platform/StatusItem.h"

namespace zandorin::adapters {

// The tray entry where no StatusNotifierItem host runs: an XEmbed tray icon that pops a widget
// menu at the pointer, where X11 places it. It keeps one menu for its whole life; each model
// refills it. Shown once it has both an image and a menu. Main thread only.
class XEmbedStatusItem final : public platform::StatusItem {
public:
    XEmbedStatusItem();
    ~XEmbedStatusItem() override;

    XEmbedStatusItem(const XEmbedStatusItem&) = delete;
    XEmbedStatusItem& operator=(const XEmbedStatusItem&) = delete;

    bool hasButton() const override { return true; }
    bool setImage(const platform::StatusItemImage& image) override;
    void setMenu(const platform::MenuModel& menu) override;
    void setActionHandler(std::function<void(platform::MenuAction)> handler) override;

    QMenu* menuForTesting() const { return menu_.get(); }

private:
    void fill(const platform::MenuModel& model);
    void addItem(const platform::MenuItem& item);
    void showWhenComplete();
    void perform(platform::MenuAction action) const;

    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;  // declared after menu_: goes first
    std::function<void(platform::MenuAction)> handler_;
    bool hasImage_ = false;
    bool hasMenu_ = false;
};

}  // namespace zandorin::adapters
