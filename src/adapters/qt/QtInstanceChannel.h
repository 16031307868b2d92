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

// What the bytes one client has sent so far ask of the running instance.
struct InstanceRequest {
    enum class Kind {
        incomplete,  // no line end yet: wait for more
        oversized,   // no line end within kMaxMessage bytes: drop the client
        url,         // `url`, for a sign-in waiting for one
        quit,        // quit the application
        nothing,     // a line that asks nothing (empty, not UTF-8): answered, then dropped
    };
    Kind kind = Kind::incomplete;
    std::string url;
};

// The one parser of what clients send; `received` holds at most kMaxMessage bytes.
InstanceRequest parseInstanceRequest(std::string_view received);

// One running instance per user: the first process holds a lock and listens on a local socket;
// later ones pass their argument (a callback URL from the browser) or a quit request to it and
// leave.
//
// Wire format: one request per connection, a line of UTF-8 ended by "\n", at most kMaxMessage
// bytes in all: the URL as it came, or kQuitRequest. A URL handed on never starts with '-', so
// the two cannot be confused. The primary answers "ok\n" once it has the line (whether or not
// a sign-in was waiting for the URL), and only then quits.
class QtInstanceChannel {
public:
    static constexpr std::size_t kMaxMessage = std::size_t{8} * 1024;
    static constexpr std::string_view kQuitRequest = "--quit";

    struct Options {
        std::string directory;
        // How long the primary waits for a client's line; a silent peer is dropped after it.
        std::chrono::milliseconds readTimeout{2000};
        // How long a later process tries to reach the primary, and then waits for its answer.
        std::chrono::milliseconds connectPatience{2000};
        std::chrono::milliseconds ackTimeout{2000};
        // Clients being read at once; more are turned away at once.
        int maxClients = 16;
        // How long a quit request waits for the running instance to be gone.
        std::chrono::milliseconds quitPatience{5000};
    };

    // Main thread, with the QCoreApplication alive. Each URL received goes to `receiver`, a
    // quit request to `quit`, both on the main thread.
    QtInstanceChannel(Options options, std::function<void(const std::string&)> receiver,
                      std::function<void()> quit);
    ~QtInstanceChannel();

    QtInstanceChannel(const QtInstanceChannel&) = delete;
    QtInstanceChannel& operator=(const QtInstanceChannel&) = delete;

    InstanceRole claim(const std::vector<std::string>& arguments);

    // From a process that is not the primary: asks the running instance to quit and waits
    // until it has gone. Why that did not happen (none runs, it does not answer), or nothing.
    std::optional<std::string> requestQuit();

    std::string socketPath() const;

private:
    bool listen();
    InstanceRole handOff(const std::vector<std::string>& arguments);
    void acceptClients();

    Options options_;
    std::function<void(const std::string&)> receiver_;
    std::function<void()> quit_;
    int lockFd_ = -1;
    std::unique_ptr<QLocalServer> server_;
    int clients_ = 0;
};

}  // namespace zandorin::adapters
