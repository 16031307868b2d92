#pragma once

// Private to the D-Bus adapters (includes Qt).

#include <utility>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QObject>

namespace zandorin::adapters::dbus {

// Sends without waiting; `handler(const QDBusPendingCall&)` runs on `context`'s thread when
// the answer (or the error) arrives, and never once `context` is gone.
template <typename Handler>
void asyncCall(QDBusConnection& bus, QObject* context, const QDBusMessage& message, int timeoutMs,
               Handler handler) {
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, timeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [handler = std::move(handler)](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         handler(*finished);
                     });
}

}  // namespace zandorin::adapters::dbus
