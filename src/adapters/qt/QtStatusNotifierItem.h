#pragma once

#include <functional>
#include <memory>

#include <QByteArray>
#include <QDBusConnection>
#include <QIcon>
#include <QList>
#include <QString>

#include "adapters/qt/QtDBusMenuExporter.h"
#include "platform/MenuModel.h"

class QDBusServiceWatcher;

namespace zandorin::adapters {

// The product's name, as panels show the entry in their lists and tooltips.
inline constexpr const char* kTrayTitle = "ZandorinAuth";

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
// that connection's unique name, and again whenever a watcher (the panel) starts. Main thread
// only.
class QtStatusNotifierItem {
public:
    // `connectionLost` runs once if the bus drops the connection (the bus went away, or threw
    // us out): the entry is then gone from the panel for good.
    explicit QtStatusNotifierItem(std::function<void()> connectionLost);
    ~QtStatusNotifierItem();

    QtStatusNotifierItem(const QtStatusNotifierItem&) = delete;
    QtStatusNotifierItem& operator=(const QtStatusNotifierItem&) = delete;

    // `themeName` may be empty; `pixmaps` are for hosts that do without the icon theme.
    void setIcon(const QString& themeName, const QString& themePath, const QIcon& pixmaps);
    void setMenu(const platform::MenuModel& model) { menu_.setMenu(model); }
    void setActionHandler(std::function<void(platform::MenuAction)> handler) {
        menu_.setActionHandler(std::move(handler));
    }
    void show();

    // The D-Bus side.
    const QString& iconName() const { return iconName_; }
    const QString& iconThemePath() const { return iconThemePath_; }
    const DBusImageList& iconPixmaps() const { return iconPixmaps_; }

private:
    void registerWithWatcher();
    void lose();

    const int instance_;
    const QString connectionName_;
    QDBusConnection connection_;
    QtDBusMenuExporter menu_;
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
