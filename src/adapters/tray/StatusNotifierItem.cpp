#include "adapters/tray/StatusNotifierItem.h"

#include <utility>

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusServiceWatcher>
#include <QImage>
#include <QPixmap>
#include <QtEndian>

#include "adapters/tray/MenuArtwork.h"
#include "adapters/tray/TrayStatusBar.h"
#include "platform/AppIdentity.h"

namespace zandorin::adapters {

namespace {

constexpr auto kWatcherService = "org.kde.StatusNotifierWatcher";
constexpr auto kWatcherPath = "/StatusNotifierWatcher";
constexpr auto kItemPath = "/StatusNotifierItem";
constexpr auto kMenuPath = "/MenuBar";

int nextInstance() {
    static int count = 0;
    return ++count;
}

DBusImageList imagesOf(const QIcon& icon) {
    DBusImageList images;
    for (const QSize& size : icon.availableSizes()) {
        const QImage image =
            icon.pixmap(size, 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
        QByteArray pixels(static_cast<qsizetype>(image.width()) * image.height() * 4,
                          Qt::Uninitialized);
        char* out = pixels.data();
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x, out += 4) {
                qToBigEndian(static_cast<quint32>(line[x]), out);
            }
        }
        images << DBusImage{image.width(), image.height(), pixels};
    }
    return images;
}

}  // namespace

const QDBusArgument& operator<<(QDBusArgument& arg, const DBusImage& image) {
    arg.beginStructure();
    arg << image.width << image.height << image.pixels;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, DBusImage& image) {
    arg.beginStructure();
    arg >> image.width >> image.height >> image.pixels;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator<<(QDBusArgument& arg, const DBusToolTip& tip) {
    arg.beginStructure();
    arg << tip.iconName << tip.image << tip.title << tip.description;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, DBusToolTip& tip) {
    arg.beginStructure();
    arg >> tip.iconName >> tip.image >> tip.title >> tip.description;
    arg.endStructure();
    return arg;
}

class StatusNotifierItemAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(zandorin::adapters::DBusImageList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ none)
    Q_PROPERTY(zandorin::adapters::DBusImageList OverlayIconPixmap READ noImages)
    Q_PROPERTY(QString AttentionIconName READ none)
    Q_PROPERTY(zandorin::adapters::DBusImageList AttentionIconPixmap READ noImages)
    Q_PROPERTY(QString AttentionMovieName READ none)
    Q_PROPERTY(zandorin::adapters::DBusToolTip ToolTip READ toolTip)

public:
    StatusNotifierItemAdaptor(QObject* object, const StatusNotifierItem& item)
        : QDBusAbstractAdaptor(object), item_(item) {}

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QString::fromLatin1(kExecutableName); }
    QString title() const { return QString::fromLatin1(kTrayTitle); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString iconThemePath() const { return item_.iconThemePath(); }
    QDBusObjectPath menu() const { return QDBusObjectPath(QString::fromLatin1(kMenuPath)); }
    bool itemIsMenu() const { return true; }
    QString iconName() const { return item_.iconName(); }
    DBusImageList iconPixmap() const { return item_.iconPixmaps(); }
    QString none() const { return {}; }
    DBusImageList noImages() const { return {}; }
    DBusToolTip toolTip() const { return {{}, {}, title(), {}}; }

public slots:  // NOLINT(readability-redundant-access-specifiers): moc needs the section
    // A middle click or a scroll over the entry means nothing here; answering them spares the
    // panel an error. Activate and ContextMenu are left out on purpose (see the class).
    void SecondaryActivate(int /*x*/, int /*y*/) {}
    void Scroll(int /*delta*/, const QString& /*orientation*/) {}

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    const StatusNotifierItem& item_;
};

// libdbus tells a connection that it was dropped with a signal of its own on a local path.
class BusLossWatch final : public QObject {
    Q_OBJECT

public:
    explicit BusLossWatch(std::function<void()> lost) : lost_(std::move(lost)) {}

public slots:  // NOLINT(readability-redundant-access-specifiers): moc needs the section
    void disconnected() { lost_(); }

private:
    std::function<void()> lost_;
};

StatusNotifierItem::StatusNotifierItem(std::function<void()> connectionLost)
    : instance_(nextInstance()),
      connectionName_(QStringLiteral("zandorin-tray-%1").arg(instance_)),
      connection_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName_)),
      object_(std::make_unique<QObject>()),
      lossWatch_(std::make_unique<BusLossWatch>([this] { lose(); })),
      connectionLost_(std::move(connectionLost)) {
    connection_.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                        QStringLiteral("org.freedesktop.DBus.Local"),
                        QStringLiteral("Disconnected"), lossWatch_.get(), SLOT(disconnected()));
    qDBusRegisterMetaType<DBusImage>();
    qDBusRegisterMetaType<DBusImageList>();
    qDBusRegisterMetaType<DBusToolTip>();
    adaptor_ = new StatusNotifierItemAdaptor(object_.get(), *this);  // owned by object_
}

StatusNotifierItem::~StatusNotifierItem() {
    connectionLost_ = nullptr;  // leaving the bus on purpose
    watcher_.reset();
    connection_.unregisterObject(QString::fromLatin1(kItemPath));
    connection_.unregisterObject(QString::fromLatin1(kMenuPath));
    QDBusConnection::disconnectFromBus(connectionName_);
}

bool StatusNotifierItem::setImage(const platform::StatusItemImage& image) {
    const QIcon icon = artwork::statusItemIcon(image);
    const QString name = artwork::statusItemIconName(image);
    iconThemePath_ = artwork::iconThemePath(name);
    // A name that the panel cannot find leaves some panels with a blank; the pixels do not.
    iconName_ = iconThemePath_.isEmpty() ? QString() : name;
    iconPixmaps_ = imagesOf(icon);
    emit adaptor_->NewIcon();
    return !icon.isNull();
}

void StatusNotifierItem::setMenu(const platform::MenuModel& model) {
    menu_.setMenu(model);
    show();
}

void StatusNotifierItem::show() {
    if (!connection_.isConnected()) {
        lose();
        return;
    }
    if (shown_) {
        return;
    }
    shown_ = true;
    connection_.registerObject(QString::fromLatin1(kItemPath), object_.get(),
                               QDBusConnection::ExportAdaptors);
    menu_.exportOn(connection_, QString::fromLatin1(kMenuPath));
    // A panel that restarts, or comes up after us, learns of the entry again.
    watcher_ =
        std::make_unique<QDBusServiceWatcher>(QString::fromLatin1(kWatcherService), connection_,
                                              QDBusServiceWatcher::WatchForRegistration);
    QObject::connect(watcher_.get(), &QDBusServiceWatcher::serviceRegistered, object_.get(),
                     [this] { registerWithWatcher(); });
    registerWithWatcher();
}

void StatusNotifierItem::lose() {
    if (auto lost = std::exchange(connectionLost_, nullptr)) {
        lost();
    }
}

void StatusNotifierItem::registerWithWatcher() {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kWatcherService), QString::fromLatin1(kWatcherPath),
        QString::fromLatin1(kWatcherService), QStringLiteral("RegisterStatusNotifierItem"));
    // The connection's unique name, not a well-known one of ours: GNOME's AppIndicator extension
    // watches a well-known name it is given, and that watch's first answer clears the Id and
    // Menu it has just read; when the answer comes last, it cannot read them again and drops
    // the entry, or keeps it without a menu. When it finds the entry by scanning the bus it
    // keys it by the unique name too, so the two meet as one entry.
    call << connection_.baseService();
    // Nothing to do with the answer: without a watcher, the next one that starts is told.
    connection_.asyncCall(call);
}

}  // namespace zandorin::adapters

#include "StatusNotifierItem.moc"
