#pragma once

#include <functional>
#include <memory>

#include <QByteArray>
#include <QDBusConnection>
#include <QList>
#include <QString>

#include "adapters/tray/DBusMenuExporter.h"
#include "platform/StatusItem.h"

class QDBusServiceWatcher;

namespace zandorin::adapters {

// An icon of the item at one size: width, height, ARGB32 pixels in network byte order.
struct DBusImage {
    int width = 0;
    int height = 0;
    QByteArray pixels;
};
using DBusImageList = QList<DBusImage>;

// (icon name, icon pixmaps, title, description).
struct DBusToolTip {
    QString iconName;
    DBusImageList image;
    QString title;
    QString description;
};

class StatusNotifierItemAdaptor;
class BusLossWatch;

// The tray entry as an org.kde.StatusNotifierItem of our own, with its menu over dbusmenu.
// It says ItemIsMenu and has no Activate, so that a left click shows the menu the panel draws:
// Plasma 6 opens it for ItemIsMenu, Plasma 5 when Activate fails, and GNOME's AppIndicator
// extension at once after an Activate it was told is unknown. We never place a popup ourselves:
// Wayland compositors refuse one without a parent window, and KWin shows it as a window.
//
// It lives on a session-bus connection of its own, so that its objects go away with it and the
// panel drops the entry at once. It registers with the StatusNotifierWatcher on show(), by
// that connection's unique name, once it has a menu, and again whenever a watcher (the panel)
// starts. Main thread only.
class StatusNotifierItem final : public platform::StatusItem {
public:
    // `connectionLost` runs once if the bus drops the connection (the bus went away, or threw
    // us out): the entry is then gone from the panel for good.
    explicit StatusNotifierItem(std::function<void()> connectionLost);
    ~StatusNotifierItem() override;

    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    bool hasButton() const override { return true; }
    bool setImage(const platform::StatusItemImage& image) override;
    // The panel shows a stand-in for a missing image; the menu works all the same.
    void setMenu(const platform::MenuModel& model) override;
    void setActionHandler(std::function<void(platform::MenuAction)> handler) override {
        menu_.setActionHandler(std::move(handler));
    }

    // The D-Bus side.
    const QString& iconName() const { return iconName_; }
    const QString& iconThemePath() const { return iconThemePath_; }
    const DBusImageList& iconPixmaps() const { return iconPixmaps_; }

private:
    void show();
    void registerWithWatcher();
    void lose();

    const int instance_;
    const QString connectionName_;
    QDBusConnection connection_;
    DBusMenuExporter menu_;
    std::unique_ptr<QObject> object_;  // what the bus sees; owns the adaptor
    StatusNotifierItemAdaptor* adaptor_ = nullptr;
    std::unique_ptr<QDBusServiceWatcher> watcher_;
    std::unique_ptr<BusLossWatch> lossWatch_;
    std::function<void()> connectionLost_;
    QString iconName_;
    QString iconThemePath_;
    DBusImageList iconPixmaps_;
    bool shown_ = false;
};

}  // namespace zandorin::adapters

Q_DECLARE_METATYPE(zandorin::adapters::DBusImage)
Q_DECLARE_METATYPE(zandorin::adapters::DBusToolTip)
