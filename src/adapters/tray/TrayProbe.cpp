#include "adapters/tray/TrayProbe.h"

#include <cstdlib>
#include <memory>
#include <string>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>

#if QT_CONFIG(xcb)
#include <xcb/xcb.h>
#endif

namespace zandorin::adapters::tray {

namespace {

constexpr auto kWatcherService = "org.kde.StatusNotifierWatcher";
constexpr auto kWatcherPath = "/StatusNotifierWatcher";
constexpr int kBusTimeoutMs = 2000;

#if QT_CONFIG(xcb)
struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};

// The screen part of DISPLAY ("host:display.screen"), which xcb_connect also uses.
int defaultScreenNumber() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr) {
        return 0;
    }
    const std::string value(display);
    const auto colon = value.rfind(':');
    if (colon == std::string::npos) {
        return 0;
    }
    const auto dot = value.find('.', colon);
    if (dot == std::string::npos || dot + 1 >= value.size()) {
        return 0;
    }
    return std::atoi(value.c_str() + dot + 1);
}
#endif

}  // namespace

bool statusNotifierHostReady() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) {
        return false;
    }
    const QString service = QString::fromLatin1(kWatcherService);
    if (!bus.interface()->isServiceRegistered(service).value()) {
        return false;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(
        service, QString::fromLatin1(kWatcherPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << service << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kBusTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return false;
    }
    return qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toBool();
}

bool xembedTrayPresent() {
#if QT_CONFIG(xcb)
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                                   : nullptr;
    xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
    if (connection == nullptr) {
        return false;
    }
    const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(defaultScreenNumber());
    const std::unique_ptr<xcb_intern_atom_reply_t, FreeReply> atom(xcb_intern_atom_reply(
        connection,
        xcb_intern_atom(connection, /*only_if_exists=*/1, static_cast<uint16_t>(selection.size()),
                        selection.c_str()),
        nullptr));
    if (!atom || atom->atom == XCB_ATOM_NONE) {
        return false;
    }
    const std::unique_ptr<xcb_get_selection_owner_reply_t, FreeReply> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom),
                                      nullptr));
    return owner && owner->owner != XCB_WINDOW_NONE;
#else
    return false;
#endif
}

}  // namespace zandorin::adapters::tray
