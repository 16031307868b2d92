#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapters/qt/QtApplicationHost.h"

class QLocalServer;

namespace zandorin::adapters {

// Where the instance socket lives, or why no place is safe enough.
struct InstanceDirectory {
    std::optional<std::string> path;
    std::string problem;  // set when path is not
};

// `<runtimeDir>/zandorin-auth` when runtimeDir is a directory of `uid` with mode 0700,
// otherwise `<fallbackParent>/zandorin-auth-<uid>`. Creates the directory (0700) and accepts it
// only as a real directory of `uid` that no one else may enter.
InstanceDirectory resolveInstanceDirectory(const char* runtimeDir,
                                           const std::string& fallbackParent, uid_t uid);

// What a client of the instance socket has sent so far, read as the wire format below says.
struct InstanceMessage {
    enum class Status { incomplete, complete, tooLong };
    Status status = Status::incomplete;
    std::string url;  // complete: the line, empty when it is none to hand on (empty, not UTF-8)
};
InstanceMessage readInstanceMessage(std::string_view received);

// One running instance per user: the first process holds a lock and listens on a local socket;
// later ones pass their argument (a callback URL from the browser) to it and leave.
//
// Wire format: the URL in UTF-8 and "\n", at most kMaxMessage bytes in all; the primary answers
// "ok\n" once it has the line, whether or not a sign-in was waiting for it.
class QtInstanceChannel {
public:
    static constexpr std::size_t kMaxMessage = std::size_t{8} * 1024;

    struct Options {
        std::string directory;
        // How long the primary waits for a client's line; a silent peer is dropped after it.
        std::chrono::milliseconds readTimeout{2000};
        // How long a later process tries to reach the primary, and then waits for its answer.
        std::chrono::milliseconds connectPatience{2000};
        std::chrono::milliseconds ackTimeout{2000};
        // Clients being read at once; more are turned away at once.
        int maxClients = 16;
    };

    // Main thread, with the QCoreApplication alive. Each line received goes to `receiver` on
    // the main thread.
    QtInstanceChannel(Options options, std::function<void(const std::string&)> receiver);
    ~QtInstanceChannel();

    QtInstanceChannel(const QtInstanceChannel&) = delete;
    QtInstanceChannel& operator=(const QtInstanceChannel&) = delete;

    InstanceRole claim(const std::vector<std::string>& arguments);

    std::string socketPath() const;

private:
    bool listen();
    InstanceRole handOff(const std::vector<std::string>& arguments);
    void acceptClients();

    Options options_;
    std::function<void(const std::string&)> receiver_;
    int lockFd_ = -1;
    std::unique_ptr<QLocalServer> server_;
    int clients_ = 0;
};

}  // namespace zandorin::adapters
