#include "TestServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <nlohmann/json.hpp>

extern char** environ;

namespace zandorin::httptest {
namespace {

using namespace std::chrono_literals;

std::string fromHex(const std::string& hex) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
    }
    return bytes;
}

}  // namespace

TestServer::TestServer(Scheme scheme) : scheme_(scheme) {
    std::array<int, 2> pipe{};
    if (::pipe2(pipe.data(), O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    std::string python = "/usr/bin/python3";
    std::string script = ZANDORIN_HTTP_TEST_SERVER;
    std::string tls = "--tls";
    std::vector<char*> argv = {python.data(), script.data()};
    if (scheme == Scheme::Https) {
        argv.push_back(tls.data());
    }
    argv.push_back(nullptr);
    const int spawned =
        ::posix_spawn(&pid_, python.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    output_ = pipe[0];
    if (spawned != 0) {
        pid_ = -1;
        ADD_FAILURE() << "could not start " << script;
        return;
    }
    reader_ = std::thread([this] { readOutput(); });
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 15s, [this] { return port_ > 0 || ended_; }) || port_ == 0) {
        ADD_FAILURE() << "the test server did not report its port";
    }
}

TestServer::~TestServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        bool reaped = false;
        for (int i = 0; i < 500 && !reaped; ++i) {  // 5 s
            reaped = ::waitpid(pid_, &status, WNOHANG) == pid_;
            if (!reaped) {
                std::this_thread::sleep_for(10ms);
            }
        }
        if (!reaped) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
    }
    if (reader_.joinable()) {
        reader_.join();  // the pipe reaches its end with the process
    }
    if (output_ >= 0) {
        ::close(output_);
    }
}

std::string TestServer::url(std::string_view path) const {
    return std::string(scheme_ == Scheme::Https ? "https" : "http") +
           "://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::vector<RecordedRequest> TestServer::requests(std::size_t count,
                                                  std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return requests_.size() >= count || ended_; });
    return requests_;
}

int TestServer::connections() {
    std::lock_guard lock(mutex_);
    return connections_;
}

bool TestServer::awaitHandshakeFailure(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, wait, [&] { return handshakeFailures_ > 0 || ended_; }) &&
           handshakeFailures_ > 0;
}

void TestServer::readOutput() {
    std::string pending;
    std::array<char, 65536> chunk{};
    for (;;) {
        const ssize_t got = ::read(output_, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        pending.append(chunk.data(), static_cast<std::size_t>(got));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            handle(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

void TestServer::handle(const std::string& line) {
    const auto record = nlohmann::json::parse(line, nullptr, false);
    if (!record.is_object()) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (record.contains("port")) {
        port_ = record["port"].get<int>();
    } else if (record.value("event", "") == "connect") {
        ++connections_;
    } else if (record.value("event", "") == "tls_error") {
        ++handshakeFailures_;
    } else if (record.value("event", "") == "request") {
        requests_.push_back({.connection = record["conn"].get<int>(),
                             .line = record["line"].get<std::string>(),
                             .headers = record["headers"].get<std::vector<std::string>>(),
                             .body = fromHex(record["body"].get<std::string>())});
    }
    changed_.notify_all();
}

int unusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

}  // namespace zandorin::httptest
