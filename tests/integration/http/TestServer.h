#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zandorin::httptest {

// One request as it reached the server: raw lines, body bytes, and the connection it came on.
struct RecordedRequest {
    int connection = 0;
    std::string line;
    std::vector<std::string> headers;
    std::string body;
};

// http_test_server.py on a loopback port, started by the test and killed (by its PID) at the
// end. Everything it reports arrives through a pipe, read by a thread of ours.
class TestServer {
public:
    enum class Scheme { Http, Https };

    explicit TestServer(Scheme scheme = Scheme::Http);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    bool ready() const { return port_ > 0; }
    int port() const { return port_; }
    std::string url(std::string_view path) const;

    // Waits (bounded) until at least `count` requests arrived, then returns all of them.
    std::vector<RecordedRequest> requests(std::size_t count,
                                          std::chrono::milliseconds wait = std::chrono::seconds(5));
    // Accepted TCP connections reported so far: a connection is reported before its first
    // request, so requests(n) first makes the count cover those n.
    int connections();
    // Waits (bounded) until a TLS handshake has failed; false if none did.
    bool awaitHandshakeFailure(std::chrono::milliseconds wait = std::chrono::seconds(5));

private:
    void readOutput();
    void handle(const std::string& line);

    Scheme scheme_;
    pid_t pid_ = -1;
    int output_ = -1;
    int port_ = 0;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<RecordedRequest> requests_;
    int connections_ = 0;
    int handshakeFailures_ = 0;
    bool ended_ = false;
};

// A loopback port nothing listens on (bound, read and released).
int unusedPort();

}  // namespace zandorin::httptest
