#include "adapters/dbus/SecretServiceMonitor.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>

namespace zandorin::adapters {

namespace {

const QString kSecretsName = QStringLiteral("org.freedesktop.secrets");

class Receiver final : public QObject {
    Q_OBJECT
public:
    std::function<void()> handler;

public slots:
    void notify() {
        if (handler) {
            handler();
        }
    }
};

}  // namespace

struct SecretServiceMonitor::Impl {
    Receiver receiver;
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusServiceWatcher watcher{kSecretsName, bus, QDBusServiceWatcher::WatchForRegistration};
};

SecretServiceMonitor::SecretServiceMonitor() : impl_(std::make_unique<Impl>()) {
    // No bus, no keyring: the handler is simply never called. Which collection changed does
    // not matter, so the slot takes no argument.
    impl_->bus.connect(kSecretsName, QStringLiteral("/org/freedesktop/secrets"),
                       QStringLiteral("org.freedesktop.Secret.Service"),
                       QStringLiteral("CollectionChanged"), &impl_->receiver, SLOT(notify()));
    QObject::connect(&impl_->watcher, &QDBusServiceWatcher::serviceRegistered, &impl_->receiver,
                     &Receiver::notify);
}

SecretServiceMonitor::~SecretServiceMonitor() = default;

void SecretServiceMonitor::setChangeHandler(std::function<void()> handler) {
    impl_->receiver.handler = std::move(handler);
}

}  // namespace zandorin::adapters

#include "SecretServiceMonitor.moc"
