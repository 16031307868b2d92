#include "adapters/dbus/UnifiedPushConnector.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <system_error>
#include <utility>
#include <vector>

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QUuid>
#include <QVariantMap>

#include "adapters/dbus/AsyncCall.h"

namespace zandorin::adapters {

namespace {

const QString kConnectorPath = QStringLiteral("/org/unifiedpush/Connector");
const QString kDistributorPath = QStringLiteral("/org/unifiedpush/Distributor");
const QString kDistributorPrefix = QStringLiteral("org.unifiedpush.Distributor.");
const QString kDistributor1 = QStringLiteral("org.unifiedpush.Distributor1");
const QString kDistributor2 = QStringLiteral("org.unifiedpush.Distributor2");
const QString kSucceeded = QStringLiteral("REGISTRATION_SUCCEEDED");
// A distributor may have to reach its push server before it answers.
constexpr int kRegisterTimeoutMs = 30000;
constexpr int kBusTimeoutMs = 5000;
constexpr std::size_t kMaxTokenBytes = 100;  // the protocol's bound on a connection token

// What the connector interfaces hand on, whichever version the distributor speaks.
struct ConnectorHandlers {
    std::function<void(const QString& token, const QByteArray& message, const QString& id)> message;
    std::function<void(const QString& token, const QString& endpoint)> newEndpoint;
    std::function<void(const QString& token)> unregistered;
};

class Connector2Adaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.unifiedpush.Connector2")

public:
    Connector2Adaptor(QObject* parent, const ConnectorHandlers& handlers)
        : QDBusAbstractAdaptor(parent), handlers_(handlers) {}

public slots:
    QVariantMap Message(const QVariantMap& args) {
        const QVariant message = args.value(QStringLiteral("message"));
        // Bytes by the protocol; a text from a lenient distributor means its UTF-8.
        const QByteArray bytes = message.typeId() == QMetaType::QByteArray
                                     ? message.toByteArray()
                                     : message.toString().toUtf8();
        const QString id = args.value(QStringLiteral("id")).toString();
        handlers_.message(args.value(QStringLiteral("token")).toString(), bytes, id);
        return id.isEmpty() ? QVariantMap{} : QVariantMap{{QStringLiteral("id"), id}};
    }
    QVariantMap NewEndpoint(const QVariantMap& args) {
        handlers_.newEndpoint(args.value(QStringLiteral("token")).toString(),
                              args.value(QStringLiteral("endpoint")).toString());
        return {};
    }
    QVariantMap Unregistered(const QVariantMap& args) {
        handlers_.unregistered(args.value(QStringLiteral("token")).toString());
        return {};
    }

private:
    const ConnectorHandlers& handlers_;
};

class Connector1Adaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.unifiedpush.Connector1")

public:
    Connector1Adaptor(QObject* parent, const ConnectorHandlers& handlers)
        : QDBusAbstractAdaptor(parent), handlers_(handlers) {}

public slots:
    Q_NOREPLY void Message(const QString& token, const QByteArray& message,
                           const QString& messageIdentifier) {
        handlers_.message(token, message, messageIdentifier);
    }
    Q_NOREPLY void NewEndpoint(const QString& token, const QString& endpoint) {
        handlers_.newEndpoint(token, endpoint);
    }
    Q_NOREPLY void Unregistered(const QString& token) { handlers_.unregistered(token); }

private:
    const ConnectorHandlers& handlers_;
};

bool usableToken(const std::string& token) {
    return !token.empty() && token.size() <= kMaxTokenBytes &&
           std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

// The connection token identifies our registration to the distributor across starts; a
// missing or damaged file means a new registration.
std::string loadOrCreateToken(const std::string& path) {
    // Read on the main thread: only a regular file, opened without waiting (a FIFO planted
    // there would otherwise hold the menu) and only as much as a token line can be.
    if (const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        fd >= 0) {
        struct stat info {};
        std::string line(kMaxTokenBytes + 1, '\0');
        const ssize_t got = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
                                ? ::read(fd, line.data(), line.size())
                                : -1;
        ::close(fd);
        line.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        line = line.substr(0, line.find('\n'));
        if (usableToken(line)) {
            return line;
        }
    }
    std::string token = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    if (path.empty()) {
        return token;  // no home to keep it in: this run only
    }
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path file(path);
    if (file.has_parent_path() && !fs::exists(file.parent_path(), error)) {
        fs::create_directories(file.parent_path(), error);
        fs::permissions(file.parent_path(), fs::perms::owner_all, error);
    }
    // A new file of our own, never through a link someone left at its name: unlink removes
    // the link itself, and O_EXCL|O_NOFOLLOW refuse one that appears in between.
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return token;  // this run still works; the next start registers anew
    }
    const std::string line = token + '\n';
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (::close(fd) != 0 || !written) {
        ::unlink(temporary.c_str());
        return token;
    }
    fs::rename(temporary, path, error);
    return token;
}

}  // namespace

struct UnifiedPushConnector::Impl {
    const QString serviceName;
    const QString description;
    const std::string tokenFile;
    QDBusConnection bus = QDBusConnection::sessionBus();
    ConnectorHandlers handlers;
    // The exported object; owns the adaptors and the calls in flight, which end with it.
    QObject connector;
    platform::RemoteNotificationsDelegate* delegate = nullptr;
    QString token;
    QString distributor;  // the one we registered with
    // Reports a missing bus from the event loop, never inside the caller's own call.
    QTimer noBus;
    bool exported = false;
    bool nameOwned = false;

    Impl(std::string service, std::string text, std::string file)
        : serviceName(QString::fromStdString(service)),
          description(QString::fromStdString(text)),
          tokenFile(std::move(file)) {
        handlers.message = [this](const QString& from, const QByteArray& message,
                                  const QString& id) {
            if (ours(from) && delegate != nullptr) {
                delegate->didReceiveRemoteNotification(message.toStdString(), id.toStdString());
            }
        };
        handlers.newEndpoint = [this](const QString& from, const QString& endpoint) {
            if (ours(from) && !endpoint.isEmpty() && delegate != nullptr) {
                delegate->didRegisterForRemoteNotifications(endpoint.toUtf8().toStdString());
            }
        };
        handlers.unregistered = [this](const QString& from) {
            if (ours(from)) {
                fail("the UnifiedPush distributor " + distributor.toStdString() +
                     " ended the registration");
            }
        };
        noBus.setSingleShot(true);
        noBus.setInterval(0);
        QObject::connect(&noBus, &QTimer::timeout, &connector,
                         [this] { fail("no D-Bus session bus"); });
        new Connector2Adaptor(&connector, handlers);
        new Connector1Adaptor(&connector, handlers);
    }

    ~Impl() {
        if (exported) {
            bus.unregisterObject(kConnectorPath);
        }
    }

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Anyone on the bus may call us; only the distributor knows the token.
    bool ours(const QString& from) const { return !token.isEmpty() && from == token; }

    void fail(const std::string& description) const {
        if (delegate != nullptr) {
            delegate->didFailToRegisterForRemoteNotifications(description);
        }
    }

    template <typename Handler>
    void call(const QDBusMessage& message, int timeoutMs, Handler handler) {
        dbus::asyncCall(bus, &connector, message, timeoutMs, std::move(handler));
    }

    static QDBusMessage busCall(const QString& method) {
        return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                              QStringLiteral("/org/freedesktop/DBus"),
                                              QStringLiteral("org.freedesktop.DBus"), method);
    }

    void start() {
        if (!bus.isConnected()) {
            noBus.start();
            return;
        }
        if (token.isEmpty()) {
            token = QString::fromStdString(loadOrCreateToken(tokenFile));
        }
        if (!exported) {
            exported =
                bus.registerObject(kConnectorPath, &connector, QDBusConnection::ExportAdaptors);
        }
        if (nameOwned) {
            findDistributor();
            return;
        }
        // The distributor calls us back by this name.
        QDBusMessage request = busCall(QStringLiteral("RequestName"));
        request << serviceName << uint{4};  // DBUS_NAME_FLAG_DO_NOT_QUEUE
        call(request, kBusTimeoutMs, [this](const QDBusPendingCall& finished) {
            const QDBusPendingReply<uint> reply(finished);
            // 1: now the primary owner; 4: already it.
            if (!reply.isValid() || (reply.value() != 1 && reply.value() != 4)) {
                fail("the bus name " + serviceName.toStdString() + " is taken by another program");
                return;
            }
            nameOwned = true;
            findDistributor();
        });
    }

    void findDistributor() {
        call(busCall(QStringLiteral("ListNames")), kBusTimeoutMs,
             [this](const QDBusPendingCall& finished) {
                 const QDBusPendingReply<QStringList> reply(finished);
                 QStringList found;
                 for (const QString& name : reply.isValid() ? reply.value() : QStringList{}) {
                     if (name.startsWith(kDistributorPrefix)) {
                         found.append(name);
                     }
                 }
                 if (found.isEmpty()) {
                     fail("no UnifiedPush distributor found on the session bus");
                     return;
                 }
                 found.sort();
                 // The user's choice when several run.
                 const QString preferred = qEnvironmentVariable("UNIFIEDPUSH_DISTRIBUTOR");
                 distributor = found.first();
                 for (const QString& name : found) {
                     if (!preferred.isEmpty() &&
                         (name == preferred || name == kDistributorPrefix + preferred)) {
                         distributor = name;
                     }
                 }
                 registerWith2();
             });
    }

    void registerWith2() {
        QDBusMessage request = QDBusMessage::createMethodCall(distributor, kDistributorPath,
                                                              kDistributor2, "Register");
        request << QVariantMap{{QStringLiteral("service"), serviceName},
                               {QStringLiteral("token"), token},
                               {QStringLiteral("description"), description}};
        call(request, kRegisterTimeoutMs, [this](const QDBusPendingCall& finished) {
            if (finished.isError()) {
                const auto type = finished.error().type();
                if (type == QDBusError::UnknownMethod || type == QDBusError::UnknownInterface) {
                    registerWith1();
                } else {
                    noAnswer(finished.error());
                }
                return;
            }
            const QDBusPendingReply<QVariantMap> reply(finished);
            const QVariantMap result = reply.value();
            concluded(result.value(QStringLiteral("success")).toString(),
                      result.value(QStringLiteral("reason")).toString());
        });
    }

    void registerWith1() {
        QDBusMessage request = QDBusMessage::createMethodCall(distributor, kDistributorPath,
                                                              kDistributor1, "Register");
        request << serviceName << token << description;
        call(request, kRegisterTimeoutMs, [this](const QDBusPendingCall& finished) {
            if (finished.isError()) {
                noAnswer(finished.error());
                return;
            }
            const QDBusPendingReply<QString, QString> reply(finished);
            concluded(reply.argumentAt<0>(), reply.argumentAt<1>());
        });
    }

    void noAnswer(const QDBusError& error) const {
        fail("the UnifiedPush distributor " + distributor.toStdString() +
             " did not answer: " + error.message().toStdString());
    }

    // On success the endpoint follows through NewEndpoint.
    void concluded(const QString& result, const QString& reason) const {
        if (result == kSucceeded || result == QStringLiteral("NEW_ENDPOINT")) {
            return;
        }
        fail("the UnifiedPush distributor " + distributor.toStdString() +
             " refused the registration: " + (reason.isEmpty() ? result : reason).toStdString());
    }
};

UnifiedPushConnector::UnifiedPushConnector(std::string serviceName, std::string description,
                                           std::string tokenFile)
    : impl_(std::make_unique<Impl>(std::move(serviceName), std::move(description),
                                   std::move(tokenFile))) {}

UnifiedPushConnector::~UnifiedPushConnector() = default;

std::string UnifiedPushConnector::defaultTokenFile() {
    const auto absolute = [](const char* path) { return path != nullptr && *path == '/'; };
    std::filesystem::path base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); absolute(data)) {
        base = data;
    } else if (const char* home = std::getenv("HOME"); absolute(home)) {
        base = std::filesystem::path(home) / ".local" / "share";
    } else {
        // Never a shared directory such as /tmp, where anyone may have put something first.
        struct passwd entry {};
        struct passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
            found == nullptr || !absolute(found->pw_dir)) {
            return {};
        }
        base = std::filesystem::path(found->pw_dir) / ".local" / "share";
    }
    return (base / "zandorin-auth" / "unifiedpush-token").string();
}

void UnifiedPushConnector::setDelegate(platform::RemoteNotificationsDelegate* delegate) {
    impl_->delegate = delegate;
}

void UnifiedPushConnector::registerForRemoteNotifications() {
    impl_->start();
}

}  // namespace zandorin::adapters

#include "UnifiedPushConnector.moc"
