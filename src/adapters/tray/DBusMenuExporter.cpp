#include "adapters/tray/DBusMenuExporter.h"

#include <png.h>

#include <algorithm>

#include <QApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusContext>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QImage>
#include <QKeySequence>
#include <QTimer>

#include "adapters/tray/MenuArtwork.h"

namespace zandorin::adapters {

// Outside an anonymous namespace: QtDBus finds the types of a slot's out-parameters by name.
struct DBusMenuItem {
    int id = 0;
    QVariantMap properties;
};
using DBusMenuItemList = QList<DBusMenuItem>;

struct DBusMenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using DBusMenuEventList = QList<DBusMenuEvent>;

using DBusMenuShortcut = QList<QStringList>;

}  // namespace zandorin::adapters

Q_DECLARE_METATYPE(zandorin::adapters::DBusMenuItem)
Q_DECLARE_METATYPE(zandorin::adapters::DBusMenuEvent)

namespace zandorin::adapters {

const QDBusArgument& operator<<(QDBusArgument& arg, const DBusMenuItem& item) {
    arg.beginStructure();
    arg << item.id << item.properties;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, DBusMenuItem& item) {
    arg.beginStructure();
    arg >> item.id >> item.properties;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator<<(QDBusArgument& arg, const DBusMenuEvent& event) {
    arg.beginStructure();
    arg << event.id << event.eventId << event.data << event.timestamp;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, DBusMenuEvent& event) {
    arg.beginStructure();
    arg >> event.id >> event.eventId >> event.data >> event.timestamp;
    arg.endStructure();
    return arg;
}

namespace {

// The menu has a few dozen entries; a panel never asks for more ids, names or events at once.
constexpr qsizetype kMaxRequestSize = 256;

// dbusmenu's menu icons are 16 px; the panel scales them for its own density.
constexpr int kMenuIconSize = 16;

// The root entry, whose children are the menu.
QVariantMap rootProperties() {
    return {{QStringLiteral("children-display"), QStringLiteral("submenu")}};
}

// dbusmenu reads a single "_" as a mnemonic marker and "__" as an underscore; texts from the
// service are meant literally.
QString dbusmenuLabel(const std::string& text) {
    return QString::fromStdString(text).replace(QLatin1Char('_'), QLatin1String("__"));
}

DBusMenuShortcut dbusmenuShortcut(const QKeySequence& sequence) {
    DBusMenuShortcut shortcut;
    for (int i = 0; i < sequence.count(); ++i) {
        const QKeyCombination key = sequence[i];
        QStringList tokens;
        if (key.keyboardModifiers().testFlag(Qt::ControlModifier)) {
            tokens << QStringLiteral("Control");
        }
        tokens << QKeySequence(key.key()).toString(QKeySequence::PortableText);
        shortcut << tokens;
    }
    return shortcut;
}

// Encoded with libpng itself: Qt's image writer loads every image-format plugin installed (GIF,
// JPEG, SVG...) to ask whether one of them writes PNG, and they would stay in the process.
QByteArray pngOf(const QImage& image) {
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(rgba.width());
    png.height = static_cast<png_uint_32>(rgba.height());
    png.format = PNG_FORMAT_RGBA;
    // The row stride counts samples, which are bytes here.
    const auto stride = static_cast<png_int_32>(rgba.bytesPerLine());
    png_alloc_size_t size = 0;
    if (png_image_write_to_memory(&png, nullptr, &size, 0, rgba.constBits(), stride, nullptr) ==
        0) {
        return {};
    }
    QByteArray bytes(static_cast<qsizetype>(size), Qt::Uninitialized);
    if (png_image_write_to_memory(&png, bytes.data(), &size, 0, rgba.constBits(), stride,
                                  nullptr) == 0) {
        return {};
    }
    bytes.truncate(static_cast<qsizetype>(size));
    return bytes;
}

QVariantMap propertiesOf(const platform::MenuItem& item, const QPalette& palette) {
    using platform::MenuItemKind;
    QVariantMap properties;
    if (item.kind == MenuItemKind::separator) {
        properties.insert(QStringLiteral("type"), QStringLiteral("separator"));
        return properties;
    }
    // Plasma draws its menus with QMenu, which right-aligns what follows a tab.
    const std::string title =
        item.kind == MenuItemKind::statRow ? item.title + "\t" + item.value : item.title;
    properties.insert(QStringLiteral("label"), dbusmenuLabel(title));
    const bool enabled = item.kind == MenuItemKind::command && item.action.has_value();
    properties.insert(QStringLiteral("enabled"), enabled);
    if (const QKeySequence keys = artwork::shortcut(item.keyEquivalent);
        enabled && !keys.isEmpty()) {
        properties.insert(QStringLiteral("shortcut"), QVariant::fromValue(dbusmenuShortcut(keys)));
    }
    // A host draws a symbolic icon it finds by name in its menu's text colour. GNOME's extension
    // takes a name over pixels but looks for it only in the desktop's icon directories, never in
    // IconThemePath, and shows a "missing" image when it is not there: so the name goes out only
    // when those directories hold it. The pixels go out always, for hosts that read no names.
    if (const QString name = artwork::menuIconName(item);
        !name.isEmpty() && artwork::inDesktopIconTheme(name)) {
        properties.insert(QStringLiteral("icon-name"), name);
    }
    // Drawn straight into an image: QIcon::pixmap would keep every rebuild's pixmap in Qt's
    // process-wide pixmap cache.
    if (const QImage image = artwork::menuIconImage(item, palette, kMenuIconSize);
        !image.isNull()) {
        properties.insert(QStringLiteral("icon-data"), pngOf(image));
    }
    return properties;
}

QVariantMap only(const QVariantMap& properties, const QStringList& names) {
    if (names.isEmpty()) {
        return properties;
    }
    QVariantMap out;
    for (const QString& name : names) {
        if (const auto it = properties.constFind(name); it != properties.constEnd()) {
            out.insert(name, *it);
        }
    }
    return out;
}

}  // namespace

const QDBusArgument& operator<<(QDBusArgument& arg, const DBusMenuLayout& item) {
    arg.beginStructure();
    arg << item.id << item.properties;
    arg.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const DBusMenuLayout& child : item.children) {
        arg << QDBusVariant(QVariant::fromValue(child));
    }
    arg.endArray();
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, DBusMenuLayout& item) {
    arg.beginStructure();
    arg >> item.id >> item.properties;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        DBusMenuLayout layout;
        qvariant_cast<QDBusArgument>(child.variant()) >> layout;
        item.children << layout;
    }
    arg.endArray();
    arg.endStructure();
    return arg;
}

void registerDBusMenuTypes() {
    qDBusRegisterMetaType<DBusMenuLayout>();
    qDBusRegisterMetaType<DBusMenuItem>();
    qDBusRegisterMetaType<DBusMenuItemList>();
    qDBusRegisterMetaType<DBusMenuEvent>();
    qDBusRegisterMetaType<DBusMenuEventList>();
    qDBusRegisterMetaType<DBusMenuShortcut>();
}

// What the bus sees: QtDBus hands the context of a call, which an error reply needs, to the
// object that carries the adaptor.
class DBusMenuObject final : public QObject, public QDBusContext {
    Q_OBJECT
};

class DBusMenuAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    DBusMenuAdaptor(DBusMenuObject* object, DBusMenuExporter& menu)
        : QDBusAbstractAdaptor(object), object_(*object), menu_(menu) {}

    uint version() const { return 3; }
    QString textDirection() const {
        return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl")
                                                                     : QStringLiteral("ltr");
    }
    QString status() const { return QStringLiteral("normal"); }
    // Where the menu's icon names are found, as the item's IconThemePath says for its own.
    QStringList iconThemePath() const {
        const QString path = artwork::menuIconThemePath();
        return path.isEmpty() ? QStringList() : QStringList{path};
    }

public slots:  // NOLINT(readability-redundant-access-specifiers): moc needs the section
    // Any process on the bus may call these. An unknown id or an oversized request is an
    // error, and no answer repeats an entry: a reply too large for the bus would make the bus
    // drop our connection, and the icon with it.
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   zandorin::adapters::DBusMenuLayout& layout) {
        if (!menu_.contains(parentId) || !bounded(propertyNames)) {
            return refuse();
        }
        return menu_.layout(parentId, recursionDepth, propertyNames, layout);
    }

    QList<zandorin::adapters::DBusMenuItem> GetGroupProperties(const QList<int>& ids,
                                                               const QStringList& propertyNames) {
        if (!bounded(ids) || !bounded(propertyNames)) {
            return refuse<DBusMenuItemList>();
        }
        DBusMenuItemList items;
        for (int id : distinct(ids)) {
            auto properties = menu_.properties(id, propertyNames);
            if (!properties) {
                return refuse<DBusMenuItemList>();
            }
            items << DBusMenuItem{id, std::move(*properties)};
        }
        return items;
    }

    QDBusVariant GetProperty(int id, const QString& name) {
        const auto properties = menu_.properties(id, {name});
        if (!properties || properties->isEmpty()) {
            return refuse(QDBusVariant(QString()));
        }
        return QDBusVariant(properties->first());
    }

    void Event(int id, const QString& eventId, const QDBusVariant& /*data*/, uint /*timestamp*/) {
        if (!menu_.event(id, eventId)) {
            refuse();
        }
    }

    // The ids that are not in the menu; an error when none is.
    QList<int> EventGroup(const QList<zandorin::adapters::DBusMenuEvent>& events) {
        if (!bounded(events)) {
            return refuse<QList<int>>();
        }
        QList<int> asked;
        QList<int> idErrors;
        QList<std::pair<int, QString>> done;  // one click is one command, however often sent
        for (const DBusMenuEvent& event : events) {
            if (!asked.contains(event.id)) {
                asked << event.id;
            }
            std::pair key(event.id, event.eventId);
            if (done.contains(key)) {
                continue;
            }
            done << std::move(key);
            if (!menu_.event(event.id, event.eventId) && !idErrors.contains(event.id)) {
                idErrors << event.id;
            }
        }
        return unlessAllUnknown(asked, std::move(idErrors));
    }

    bool AboutToShow(int id) {
        if (!menu_.contains(id)) {
            refuse();
        }
        return false;
    }

    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
        if (!bounded(ids)) {
            return refuse<QList<int>>();
        }
        const QList<int> asked = distinct(ids);
        for (int id : asked) {
            if (!menu_.contains(id)) {
                idErrors << id;
            }
        }
        idErrors = unlessAllUnknown(asked, std::move(idErrors));
        return {};
    }

signals:
    void LayoutUpdated(uint revision, int parent);

private:
    template <typename List>
    static bool bounded(const List& list) {
        return list.size() <= kMaxRequestSize;
    }

    static QList<int> distinct(const QList<int>& ids) {
        QList<int> out;
        for (int id : ids) {
            if (!out.contains(id)) {
                out << id;
            }
        }
        return out;
    }

    // The group methods answer with the unknown ids, and with an error when all are.
    QList<int> unlessAllUnknown(const QList<int>& asked, QList<int> unknown) const {
        if (!asked.isEmpty() && unknown.size() == asked.size()) {
            refuse();
        }
        return unknown;
    }

    // Makes the answer an InvalidArgs error; `ignored` is what the slot returns, which QtDBus
    // then drops.
    template <typename T = uint>
    T refuse(T ignored = {}) const {
        object_.sendErrorReply(QDBusError::InvalidArgs,
                               QStringLiteral("no such menu entry, or too many in one request"));
        return ignored;
    }

    const DBusMenuObject& object_;
    DBusMenuExporter& menu_;
};

DBusMenuExporter::DBusMenuExporter() {
    registerDBusMenuTypes();
    auto object = std::make_unique<DBusMenuObject>();
    adaptor_ = new DBusMenuAdaptor(object.get(), *this);  // owned by the object
    object_ = std::move(object);
}

DBusMenuExporter::~DBusMenuExporter() = default;

bool DBusMenuExporter::exportOn(QDBusConnection& connection, const QString& path) {
    return connection.registerObject(path, object_.get(), QDBusConnection::ExportAdaptors);
}

void DBusMenuExporter::setMenu(const platform::MenuModel& model) {
    const QPalette palette = QApplication::palette("QMenu");
    entries_.clear();
    for (const platform::MenuItem& item : model.items) {
        const bool command = item.kind == platform::MenuItemKind::command;
        entries_.push_back(
            {nextId_++, propertiesOf(item, palette), command ? item.action : std::nullopt});
    }
    emit adaptor_->LayoutUpdated(++revision_, 0);
}

void DBusMenuExporter::setActionHandler(std::function<void(platform::MenuAction)> handler) {
    handler_ = std::move(handler);
}

const DBusMenuExporter::Entry* DBusMenuExporter::find(int id) const {
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [id](const Entry& entry) { return entry.id == id; });
    return it == entries_.end() ? nullptr : &*it;
}

uint DBusMenuExporter::layout(int parentId, int depth, const QStringList& names,
                              DBusMenuLayout& out) const {
    out.id = parentId;
    if (parentId == 0) {
        out.properties = only(rootProperties(), names);
        if (depth != 0) {
            for (const Entry& entry : entries_) {
                out.children << DBusMenuLayout{entry.id, only(entry.properties, names), {}};
            }
        }
    } else if (const Entry* entry = find(parentId)) {
        out.properties = only(entry->properties, names);
    }
    return revision_;
}

bool DBusMenuExporter::contains(int id) const {
    return id == 0 || find(id) != nullptr;
}

std::optional<QVariantMap> DBusMenuExporter::properties(int id, const QStringList& names) const {
    if (id == 0) {
        return only(rootProperties(), names);
    }
    const Entry* entry = find(id);
    return entry ? std::optional(only(entry->properties, names)) : std::nullopt;
}

bool DBusMenuExporter::event(int id, const QString& eventId) {
    const Entry* entry = find(id);
    if (entry == nullptr) {
        return id == 0;
    }
    if (eventId == QLatin1String("clicked") && entry->action) {
        // Later, so that the panel has its answer before a command opens a modal alert.
        QTimer::singleShot(0, object_.get(), [this, action = *entry->action] {
            if (auto handler = handler_) {  // a copy: the handler may replace itself
                handler(action);
            }
        });
    }
    return true;
}

}  // namespace zandorin::adapters

#include "DBusMenuExporter.moc"
