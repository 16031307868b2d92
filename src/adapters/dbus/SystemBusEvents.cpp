#include "adapters/dbus/SystemBusEvents.h"

#include <QDBusConnection>
#include <QObject>

namespace zandorin::adapters {

namespace {

using platform::SystemEvent;

// NM_STATE_CONNECTED_GLOBAL: the internet is reachable. CONNECTED_SITE (60) and below leave
// the service out of reach, so only the step up to this state counts as the network's return.
constexpr uint kConnectedGlobal = 70;

class Receiver final : public QObject {
    Q_OBJECT
public:
    std::function<void(SystemEvent)> handler;

public slots:
    void prepareForSleep(bool goingToSleep) {
        if (!goingToSleep) {
            tell(SystemEvent::wokeFromSleep);
        }
    }

    void networkStateChanged(uint state) {
        // NetworkManager announces only changes, so the first state seen came from another;
        // a repeat of the same state is not a return.
        const bool returned = state == kConnectedGlobal && lastNetworkState_ != kConnectedGlobal;
        lastNetworkState_ = state;
        if (returned) {
            tell(SystemEvent::networkReturned);
        }
    }

private:
    void tell(SystemEvent event) {
        if (handler) {
            handler(event);
        }
    }

    uint lastNetworkState_ = 0;  // NM_STATE_UNKNOWN
};

}  // namespace

struct SystemBusEvents::Impl {
    Receiver receiver;
};

SystemBusEvents::SystemBusEvents() : impl_(std::make_unique<Impl>()) {
    // Naming the service makes QtDBus take the signal only from the name's current owner.
    // On a bus that is missing both calls fail quietly and the handler is never called.
    QDBusConnection bus = QDBusConnection::systemBus();
    bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
                &impl_->receiver, SLOT(prepareForSleep(bool)));
    bus.connect(QStringLiteral("org.freedesktop.NetworkManager"),
                QStringLiteral("/org/freedesktop/NetworkManager"),
                QStringLiteral("org.freedesktop.NetworkManager"), QStringLiteral("StateChanged"),
                &impl_->receiver, SLOT(networkStateChanged(uint)));
}

SystemBusEvents::~SystemBusEvents() = default;

void SystemBusEvents::setHandler(std::function<void(platform::SystemEvent)> handler) {
    impl_->receiver.handler = std::move(handler);
}

}  // namespace zandorin::adapters

#include "SystemBusEvents.moc"
