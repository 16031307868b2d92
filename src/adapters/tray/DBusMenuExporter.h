#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QDBusConnection>
#include <QList>
#include <QString>
#include <QVariantMap>

#include "platform/MenuModel.h"

namespace zandorin::adapters {

// One entry of a com.canonical.dbusmenu layout, with its children: (ia{sv}av).
struct DBusMenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<DBusMenuLayout> children;
};

class DBusMenuAdaptor;

// A menu model as com.canonical.dbusmenu: the panel reads the layout, draws the menu in its own
// popup and reports a click back as an event, so the application never places a popup itself.
// Main thread only.
class DBusMenuExporter {
public:
    DBusMenuExporter();
    ~DBusMenuExporter();

    DBusMenuExporter(const DBusMenuExporter&) = delete;
    DBusMenuExporter& operator=(const DBusMenuExporter&) = delete;

    bool exportOn(QDBusConnection& connection, const QString& path);

    // Replaces every entry. The new entries get new ids, so a panel that keeps properties by id
    // asks for all of them again, and a click on an entry of the old menu does nothing.
    void setMenu(const platform::MenuModel& model);

    // Where clicks go; called from the event loop after the click's reply has gone out.
    void setActionHandler(std::function<void(platform::MenuAction)> handler);

    // The D-Bus side. The root entry has id 0.
    bool contains(int id) const;
    uint layout(int parentId, int depth, const QStringList& names, DBusMenuLayout& out) const;
    std::optional<QVariantMap> properties(int id, const QStringList& names) const;
    bool event(int id, const QString& eventId);

private:
    struct Entry {
        int id = 0;
        QVariantMap properties;
        std::optional<platform::MenuAction> action;
    };

    const Entry* find(int id) const;

    std::unique_ptr<QObject> object_;  // what the bus sees; owns the adaptor
    DBusMenuAdaptor* adaptor_ = nullptr;
    std::vector<Entry> entries_;
    int nextId_ = 1;
    uint revision_ = 1;
    std::function<void(platform::MenuAction)> handler_;
};

// Registers the D-Bus types of the tray's interfaces; safe to call more than once.
void registerDBusMenuTypes();

}  // namespace zandorin::adapters

Q_DECLARE_METATYPE(zandorin::adapters::DBusMenuLayout)
