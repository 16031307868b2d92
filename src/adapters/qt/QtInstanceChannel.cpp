#include "adapters/qt/QtInstanceChannel.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QString>
#include <QThread>
#include <QTimer>

#include "common/Text.h"
#include "platform/AppIdentity.h"

namespace zandorin::adapters {

namespace {

constexpr std::chrono::milliseconds kConnectRetry{50};
constexpr QByteArrayView kAck{"ok\n"};

void warn(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", kExecutableName, text.c_str());
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

bool privateDirectory(const char* path, uid_t uid) {
    struct stat info {};
    return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid &&
           (info.st_mode & 0777) == 0700;
}

// Creates `path` (0700) or accepts an existing one that is a real directory of `uid` closed to
// everyone else; the reason otherwise. A directory in a shared /tmp cannot be renamed or
// removed by others (sticky bit), so what is checked here stays true.
std::optional<std::string> ensurePrivateDirectory(const std::string& path, uid_t uid) {
    if (::mkdir(path.c_str(), 0700) == 0) {
        // The umask may have taken more than we asked for.
        if (::chmod(path.c_str(), 0700) != 0) {
            return path + ": " + std::strerror(errno);
        }
    } else if (errno != EEXIST) {
        return path + ": " + std::strerror(errno);
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return path + ": " + std::strerror(errno);
    }
    if (S_ISLNK(info.st_mode)) {
        return path + " is a symbolic link";
    }
    if (!S_ISDIR(info.st_mode)) {
        return path + " is not a directory";
    }
    if (info.st_uid != uid) {
        return path + " belongs to user " + std::to_string(info.st_uid);
    }
    if ((info.st_mode & 0077) != 0) {
        return path + " is open to other users (mode " + modeText(info.st_mode) + ")";
    }
    return std::nullopt;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Connects, trying again while nobody listens yet: the instance holding the lock may be
// between taking it and listening.
bool connectWithin(QLocalSocket& socket, const QString& path, std::chrono::milliseconds patience) {
    const QDeadlineTimer deadline(patience);
    while (true) {
        socket.connectToServer(path);
        if (socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
            return true;
        }
        socket.abort();
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(static_cast<unsigned long>(
            std::min<qint64>(kConnectRetry.count(), deadline.remainingTime())));
    }
}

enum class Answer { ack, closed, silent, unreachable, unwritten };

Answer readAck(QLocalSocket& socket, std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    QByteArray answer;
    while (answer.size() < kAck.size()) {
        if (socket.bytesAvailable() == 0 &&
            !socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            return socket.state() == QLocalSocket::ConnectedState ? Answer::silent : Answer::closed;
        }
        answer += socket.read(kAck.size() - answer.size());
    }
    return answer == kAck ? Answer::ack : Answer::closed;
}

// Sends one request line to the primary and reads its answer.
Answer deliver(const std::string& path, QByteArray line,
               const QtInstanceChannel::Options& options) {
    QLocalSocket socket;
    if (!connectWithin(socket, QString::fromStdString(path), options.connectPatience)) {
        return Answer::unreachable;
    }
    line.append('\n');
    socket.write(line);
    const QDeadlineTimer deadline(options.ackTimeout);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) {
            return Answer::unwritten;
        }
    }
    const Answer answer = readAck(socket, std::chrono::milliseconds(deadline.remainingTime()));
    socket.disconnectFromServer();
    return answer;
}

}  // namespace

InstanceRequest parseInstanceRequest(std::string_view received) {
    const auto end = received.find('\n');
    if (end == std::string_view::npos) {
        return {received.size() >= QtInstanceChannel::kMaxMessage
                    ? InstanceRequest::Kind::oversized
                    : InstanceRequest::Kind::incomplete,
                {}};
    }
    const std::string_view line = received.substr(0, end);
    if (line == QtInstanceChannel::kQuitRequest) {
        return {InstanceRequest::Kind::quit, {}};
    }
    if (line.empty() || !text::isValidUtf8(line)) {
        return {InstanceRequest::Kind::nothing, {}};
    }
    return {InstanceRequest::Kind::url, std::string(line)};
}

InstanceDirectory resolveInstanceDirectory(const char* runtimeDir,
                                           const std::string& fallbackParent, uid_t uid) {
    if (runtimeDir != nullptr && runtimeDir[0] == '/' && privateDirectory(runtimeDir, uid)) {
        const std::string path = std::string(runtimeDir) + "/zandorin-auth";
        if (!ensurePrivateDirectory(path, uid)) {
            return {path, {}};
        }
    }
    const std::string path = fallbackParent + "/zandorin-auth-" + std::to_string(uid);
    if (auto problem = ensurePrivateDirectory(path, uid)) {
        return {std::nullopt, std::move(*problem)};
    }
    return {path, {}};
}

QtInstanceChannel::QtInstanceChannel(Options options,
                                     std::function<void(const std::string&)> receiver,
                                     std::function<void()> quit)
    : options_(std::move(options)), receiver_(std::move(receiver)), quit_(std::move(quit)) {}

QtInstanceChannel::~QtInstanceChannel() {
    server_.reset();  // removes the socket file while we still hold the lock
    if (lockFd_ >= 0) {
        ::close(lockFd_);
    }
}

std::string QtInstanceChannel::socketPath() const {
    return options_.directory + "/instance";
}

InstanceRole QtInstanceChannel::claim(const std::vector<std::string>& arguments) {
    // The lock, not the socket, decides who is first: Qt puts a user-only socket in place by
    // renaming it over whatever is there, so listening alone would never notice a live peer.
    // The kernel drops the lock of a process that died. CLOEXEC keeps it out of the browsers
    // we start.
    const std::string lockPath = options_.directory + "/instance.lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        warn(lockPath + ": " + std::strerror(errno) + "; not checking for another instance");
        return InstanceRole::primary;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(std::exchange(lockFd_, -1));
        if (error == EWOULDBLOCK) {
            return handOff(arguments);
        }
        warn(lockPath + ": " + std::strerror(error) + "; not checking for another instance");
        return InstanceRole::primary;
    }
    if (!arguments.empty()) {
        // Nothing is waiting for a callback in a process that has just started.
        warn("no sign-in in progress; the argument is ignored");
    }
    // Without a socket the lock still keeps a second tray icon away.
    listen();
    return InstanceRole::primary;
}

bool QtInstanceChannel::listen() {
    const QString path = QString::fromStdString(socketPath());
    // With the lock held, a socket file here was left by an instance that crashed.
    QLocalServer::removeServer(path);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(path)) {
        warn(socketPath() + ": " + server_->errorString().toStdString() +
             "; sign-in responses from the browser cannot reach this instance");
        server_.reset();
        return false;
    }
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(),
                     [this] { acceptClients(); });
    return true;
}

void QtInstanceChannel::acceptClients() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        if (clients_ >= options_.maxClients) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++clients_;
        QObject::connect(socket, &QObject::destroyed, server_.get(), [this] { --clients_; });
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);

        // A peer that says nothing is not kept for long.
        auto* timeout = new QTimer(socket);
        timeout->setSingleShot(true);
        QObject::connect(timeout, &QTimer::timeout, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        timeout->start(options_.readTimeout);

        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket, timeout, buffer] {
            if (!timeout->isActive()) {
                return;  // answered already
            }
            const auto room = static_cast<qint64>(kMaxMessage) - buffer->size();
            buffer->append(socket->read(room));
            const auto request = parseInstanceRequest(
                std::string_view(buffer->constData(), static_cast<std::size_t>(buffer->size())));
            if (request.kind == InstanceRequest::Kind::incomplete) {
                return;
            }
            if (request.kind == InstanceRequest::Kind::oversized) {
                socket->abort();
                socket->deleteLater();
                return;
            }
            timeout->stop();
            socket->write(kAck.data(), kAck.size());
            if (request.kind == InstanceRequest::Kind::quit) {
                socket->flush();  // the event loop that would send the answer is ending
            }
            socket->disconnectFromServer();
            if (request.kind == InstanceRequest::Kind::url) {
                receiver_(request.url);
            } else if (request.kind == InstanceRequest::Kind::quit && quit_) {
                quit_();
            }
        });
    }
}

InstanceRole QtInstanceChannel::handOff(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) {
        return InstanceRole::alreadyRunning;
    }
    const std::string& argument = arguments.front();
    if (argument.size() + 1 > kMaxMessage || argument.find('\n') != std::string::npos ||
        argument.empty() || argument.starts_with('-')) {
        warn("the argument is not a URL that can be passed to the running instance");
        return InstanceRole::alreadyRunning;
    }
    switch (deliver(socketPath(), QByteArray::fromStdString(argument), options_)) {
        case Answer::ack:
            break;
        case Answer::unreachable:
            warn("the running instance does not answer on " + socketPath());
            return InstanceRole::alreadyRunning;
        case Answer::unwritten:
            warn("could not pass the URL to the running instance");
            return InstanceRole::alreadyRunning;
        case Answer::closed:
            warn("the running instance turned the URL away");
            return InstanceRole::alreadyRunning;
        case Answer::silent:
            // The URL waits in the socket; a busy instance reads it once it gets round to it.
            warn("the running instance did not confirm the URL in time");
            break;
    }
    return InstanceRole::handedOff;
}

std::optional<std::string> QtInstanceChannel::requestQuit() {
    // The lock tells whether an instance runs, and when it has gone.
    const std::string lockPath = options_.directory + "/instance.lock";
    const FileDescriptor lock(
        ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (lock.get() < 0) {
        return lockPath + ": " + std::strerror(errno);
    }
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) {
        return "no instance is running";
    }
    if (errno != EWOULDBLOCK) {
        return lockPath + ": " + std::strerror(errno);
    }
    switch (deliver(socketPath(), QByteArray(kQuitRequest.data(), kQuitRequest.size()), options_)) {
        case Answer::unreachable:
            return "the running instance does not answer on " + socketPath();
        case Answer::unwritten:
        case Answer::closed:
            return "the running instance turned the request away";
        case Answer::ack:
        case Answer::silent:
            break;
    }
    const QDeadlineTimer deadline(options_.quitPatience);
    while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (deadline.hasExpired()) {
            return "the running instance has not quit in time";
        }
        QThread::msleep(static_cast<unsigned long>(kConnectRetry.count()));
    }
    return std::nullopt;
}

}  // namespace zandorin::adapters
