#include "adapters/dbus/FreedesktopNotifications.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

#include "adapters/dbus/AsyncCall.h"
#include "platform/AppIdentity.h"

namespace zandorin::adapters {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
constexpr int kQueryTimeoutMs = 5000;

// QtDBus hands signals to slots only.
class ServerSignals final : public QObject {
    Q_OBJECT

public:
    std::function<void(uint id, const QString& actionKey)> onAction;
    std::function<void(uint id)> onClosed;

public slots:
    void actionInvoked(uint id, const QString& actionKey) {
        if (onAction) {
            onAction(id, actionKey);
        }
    }
    void notificationClosed(uint id, uint /*reason*/) {
        if (onClosed) {
            onClosed(id);
        }
    }
};

QDBusMessage serverCall(const QString& method, const QString& destination = kService) {
    return QDBusMessage::createMethodCall(destination, kPath, kInterface, method);
}

// How a server takes a body: as markup, as text, or unknown (it did not say).
enum class BodyMarkup { read, ignored, unknown };

// Texts come from the service: shown as they are, never as markup.
QString bodyFor(const std::string& text, BodyMarkup markup) {
    QString body = QString::fromStdString(text);
    switch (markup) {
        case BodyMarkup::read:
            return body.toHtmlEscaped();
        case BodyMarkup::ignored:
            return body;
        case BodyMarkup::unknown:
            // Look-alikes that no server reads as markup, and none shows as an entity.
            return body.replace(QLatin1Char('&'), QChar(0xFF06))
                .replace(QLatin1Char('<'), QChar(0xFF1C))
                .replace(QLatin1Char('>'), QChar(0xFF1E));
    }
    return {};
}

QDBusMessage notifyCall(const platform::NotificationRequest& request, unsigned options,
                        BodyMarkup markup, const QString& destination) {
    QVariantMap hints{{QStringLiteral("desktop-entry"), QString::fromUtf8(kExecutableName)}};
    if ((options & platform::presentationSound) != 0) {
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
    }
    QDBusMessage message = serverCall(QStringLiteral("Notify"), destination);
    message << QStringLiteral("ZandorinAuth") << uint{0} << QString()
            << QString::fromStdString(request.content.title)
            << bodyFor(request.content.body, markup)
            << QStringList{QStringLiteral("default"), QStringLiteral("開啟")} << hints << int{-1};
    return message;
}

}  // namespace

struct FreedesktopNotifications::Impl {
    // The server signals a click only to the connection that sent Notify: this one.
    QDBusConnection bus = QDBusConnection::sessionBus();
    // Lives on the main thread: receives the signals and owns the calls in flight, which end
    // with it.
    ServerSignals context;
    QDBusServiceWatcher serverWatcher;
    platform::UserNotificationDelegate* delegate = nullptr;
    std::deque<std::pair<uint, platform::NotificationRequest>> shown;  // oldest first

    // Bodies go by its unique name to the server that answered GetCapabilities (which may
    // have started it), so that the one that reads a body is the one that said how. Until it
    // has answered they wait; without an answer they go out in the neutral form.
    struct Server {
        QString owner;
        bool bodyMarkup = false;
    };
    std::optional<Server> server;
    struct Pending {
        platform::NotificationRequest request;
        unsigned options = 0;
        bool retried = false;
    };
    std::deque<Pending> waiting;  // for the capabilities; oldest first
    bool querying = false;
    unsigned ownerChanges = 0;

    Impl() {
        if (!bus.isConnected()) {
            return;
        }
        context.onAction = [this](uint id, const QString& key) { clicked(id, key); };
        context.onClosed = [this](uint id) { forget(id); };
        bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), &context,
                    SLOT(actionInvoked(uint, QString)));
        bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), &context,
                    SLOT(notificationClosed(uint, uint)));
        // A new server numbers its notifications afresh, and may read bodies differently.
        serverWatcher.setConnection(bus);
        serverWatcher.addWatchedService(kService);
        serverWatcher.setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
        QObject::connect(&serverWatcher, &QDBusServiceWatcher::serviceOwnerChanged, &context,
                         [this](const QString&, const QString&, const QString& newOwner) {
                             shown.clear();
                             server.reset();
                             ++ownerChanges;
                             if (!newOwner.isEmpty()) {
                                 queryCapabilities();
                             }
                         });
    }

    ~Impl() {
        if (bus.isConnected()) {
            bus.disconnect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), &context,
                           SLOT(actionInvoked(uint, QString)));
            bus.disconnect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"),
                           &context, SLOT(notificationClosed(uint, uint)));
        }
    }

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    template <typename Handler>
    void call(const QDBusMessage& message, int timeoutMs, Handler handler) {
        dbus::asyncCall(bus, &context, message, timeoutMs, std::move(handler));
    }

    void queryCapabilities() {
        if (querying) {
            return;
        }
        querying = true;
        call(serverCall(QStringLiteral("GetCapabilities")), kQueryTimeoutMs,
             [this, changes = ownerChanges](const QDBusPendingCall& finished) {
                 querying = false;
                 if (changes != ownerChanges) {
                     queryCapabilities();  // the answer may come from a server gone since
                     return;
                 }
                 const QDBusPendingReply<QStringList> reply(finished);
                 if (reply.isValid()) {
                     server = Server{reply.reply().service(),
                                     reply.value().contains(QStringLiteral("body-markup"))};
                 }
                 // Without an answer they go out in the form no server misreads.
                 for (Pending& pending : std::exchange(waiting, {})) {
                     send(std::move(pending));
                 }
             });
    }

    void show(const platform::NotificationRequest& request, unsigned options) {
        if ((options & platform::presentationBanner) == 0 || !bus.isConnected()) {
            return;
        }
        wait(Pending{request, options});
    }

    void wait(Pending pending) {
        if (server) {
            send(std::move(pending));
            return;
        }
        waiting.push_back(std::move(pending));
        if (waiting.size() > kRemembered) {
            waiting.pop_front();
        }
        queryCapabilities();
    }

    void send(Pending pending) {
        const QString destination = server ? server->owner : kService;
        const BodyMarkup markup = !server              ? BodyMarkup::unknown
                                  : server->bodyMarkup ? BodyMarkup::read
                                                       : BodyMarkup::ignored;
        call(notifyCall(pending.request, pending.options, markup, destination), -1,
             [this, pending, destination](const QDBusPendingCall& finished) {
                 const QDBusPendingReply<uint> reply(finished);
                 if (reply.isValid()) {
                     remember(reply.value(), pending.request);
                     return;
                 }
                 if (finished.error().type() != QDBusError::ServiceUnknown) {
                     return;  // the server has it, or refused it
                 }
                 // The server went before the body reached it: once more, to whichever
                 // server there is now.
                 if (server && server->owner == destination) {
                     server.reset();
                 }
                 if (!pending.retried) {
                     wait(Pending{pending.request, pending.options, /*retried=*/true});
                 }
             });
    }

    void remember(uint id, platform::NotificationRequest request) {
        forget(id);
        shown.emplace_back(id, std::move(request));
        while (shown.size() > kRemembered) {
            shown.pop_front();
        }
    }

    void forget(uint id) {
        std::erase_if(shown, [id](const auto& entry) { return entry.first == id; });
    }

    void clicked(uint id, const QString& actionKey) {
        const auto found = std::find_if(shown.begin(), shown.end(),
                                        [id](const auto& entry) { return entry.first == id; });
        if (found == shown.end()) {
            return;  // not ours, or answered already
        }
        platform::NotificationResponse response{std::move(found->second), actionKey.toStdString()};
        shown.erase(found);
        if (delegate != nullptr) {
            delegate->didReceive(response, [] {});
        }
    }
};

FreedesktopNotifications::FreedesktopNotifications() : impl_(std::make_shared<Impl>()) {}

FreedesktopNotifications::~FreedesktopNotifications() = default;

void FreedesktopNotifications::requestAuthorization(
    unsigned /*options*/,
    std::function<void(bool granted, const std::optional<std::string>& error)> completion) {
    if (!completion) {
        return;
    }
    Impl& impl = *impl_;
    if (!impl.bus.isConnected()) {
        const std::string error =
            "no D-Bus session bus: " + impl.bus.lastError().message().toStdString();
        QMetaObject::invokeMethod(
            &impl.context,
            [completion = std::move(completion), error] { completion(false, error); },
            Qt::QueuedConnection);
        return;
    }
    // Asked first, so that a server answering in turn has told us by the time we say yes.
    if (!impl.server) {
        impl.queryCapabilities();
    }
    impl.call(serverCall(QStringLiteral("GetServerInformation")), kQueryTimeoutMs,
              [completion = std::move(completion)](const QDBusPendingCall& finished) {
                  if (finished.isError()) {
                      completion(false, "no notification server: " +
                                            finished.error().message().toStdString());
                      return;
                  }
                  completion(true, std::nullopt);
              });
}

void FreedesktopNotifications::add(const platform::NotificationRequest& request) {
    Impl& impl = *impl_;
    if (!impl.bus.isConnected()) {
        return;
    }
    if (impl.delegate == nullptr) {
        impl.show(request, platform::presentationBanner);
        return;
    }
    // The delegate may answer later, and from another thread; only its first answer counts.
    auto answered = std::make_shared<std::atomic<bool>>(false);
    impl.delegate->willPresent(
        request, [weak = std::weak_ptr(impl_), request, answered](unsigned options) {
            if (answered->exchange(true)) {
                return;
            }
            auto present = [weak, request, options] {
                if (const auto alive = weak.lock()) {
                    alive->show(request, options);
                }
            };
            QCoreApplication* app = QCoreApplication::instance();
            if (app == nullptr) {
                return;
            }
            if (QThread::currentThread() == app->thread()) {
                present();
            } else {
                QMetaObject::invokeMethod(app, std::move(present), Qt::QueuedConnection);
            }
        });
}

bool FreedesktopNotifications::showBeforeExit(const platform::NotificationRequest& request,
                                              std::chrono::milliseconds timeout) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    // No capability query here: the texts are our own, which the neutral form leaves as they are.
    const QDBusMessage reply =
        bus.call(notifyCall(request, platform::presentationBanner, BodyMarkup::unknown, kService),
                 QDBus::Block, static_cast<int>(timeout.count()));
    return reply.type() == QDBusMessage::ReplyMessage;
}

void FreedesktopNotifications::setDelegate(platform::UserNotificationDelegate* delegate) {
    impl_->delegate = delegate;
}

}  // namespace zandorin::adapters

#include "FreedesktopNotifications.moc"
