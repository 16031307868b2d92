// The curl adapter against http_test_server.py on loopback, which records every connection and
// every request (raw header lines, body bytes) as it saw them.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "adapters/curl/CurlHttpClient.h"

namespace zandorin::adapters {
namespace {

using namespace std::chrono_literals;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::HttpResult;
using platform::TransferError;
using Clock = std::chrono::steady_clock;

// Stands in for a token: it must never come back in an error description.
const std::string kSecret = "zd-s3cret-5b07e1d9";

// A socket on a free loopback port; one that is bound but does not listen refuses connections.
int loopbackSocket(bool listening, int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
    EXPECT_TRUE(!listening || ::listen(fd, 64) == 0);
    port = ntohs(address.sin_port);
    return fd;
}

std::string hex(const std::string& bytes) {
    std::string out;
    for (const unsigned char byte : bytes) {
        out += "0123456789abcdef"[byte >> 4];
        out += "0123456789abcdef"[byte & 0xf];
    }
    return out;
}

// http_test_server.py, serving on a socket of ours (so connections queue from the start) and
// ended by its PID. It logs each connection and request before answering, so once send()
// returns, what the server saw is in the log.
class TestServer {
public:
    explicit TestServer(bool tls = false) : scheme_(tls ? "https" : "http") {
        const int listener = loopbackSocket(true, port_);
        ::close(::mkstemp(log_.data()));
        pid_ = ::fork();
        if (pid_ == 0) {  // async-signal-safe calls only: the test has threads
            ::fcntl(::dup2(listener, 3), F_SETFD, 0);  // also when it was 3 already
            ::execl("/usr/bin/python3", "python3", ZANDORIN_HTTP_TEST_SERVER, log_.c_str(),
                    tls ? "--tls" : nullptr, nullptr);
            ::_exit(127);
        }
        EXPECT_GT(pid_, 0) << "cannot start the test server";
        ::close(listener);
    }

    ~TestServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::unlink(log_.c_str());
    }

    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
    }

    // The records of one kind, "connect" or "request", so far.
    std::vector<nlohmann::json> records(const std::string& event) const {
        std::vector<nlohmann::json> out;
        std::ifstream file(log_);
        for (std::string line; std::getline(file, line);) {
            // A line still being written (by a stalled connection) does not parse.
            auto record = nlohmann::json::parse(line, nullptr, false);
            if (record.is_object() && record.value("event", "") == event) {
                out.push_back(std::move(record));
            }
        }
        return out;
    }

private:
    std::string scheme_;
    std::string log_ = "/tmp/zandorin-http-test-XXXXXX";
    int port_ = 0;
    pid_t pid_ = -1;
};

class CurlHttpClientTest : public ::testing::Test {
protected:
    // Loopback traffic must not be routed through whatever proxy the machine has configured.
    static void SetUpTestSuite() {
        for (const char* name :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
            ::unsetenv(name);
        }
    }

    TestServer server;
    CurlHttpClient client;
};

std::string outcome(const HttpResult& result) {
    if (const auto* error = std::get_if<TransferError>(&result)) {
        return "TransferError: " + error->description;
    }
    return "status " + std::to_string(std::get<HttpResponse>(result).status);
}

HttpRequest request(std::string url, std::string method = "GET", std::string body = "",
                    std::chrono::milliseconds timeout = 10s) {
    HttpRequest r;
    r.method = std::move(method);
    r.url = std::move(url);
    r.body = std::move(body);
    r.timeout = timeout;
    return r;
}

TEST_F(CurlHttpClientTest, BinaryBodiesAndEmptyFieldsArriveExactlyWithoutFieldsLibcurlWouldAdd) {
    // Large: libcurl would add "Expect: 100-continue", and a form Content-Type to any body.
    std::string body((1 << 20) + 1, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>((i * 131) % 256);  // every byte value, NUL included
    }
    HttpRequest r = request(server.url("/echo?scope=openid%20email"), "POST", body);
    r.headers = {{"Authorization", "Bearer " + kSecret}, {"X-Empty", ""}};
    const auto result = client.send(r);
    const auto* response = std::get_if<HttpResponse>(&result);
    ASSERT_TRUE(response) << outcome(result);
    EXPECT_TRUE(response->body == body) << "echoed body differs";

    const auto recorded = server.records("request");
    ASSERT_EQ(recorded.size(), 1U);
    EXPECT_EQ(recorded[0]["line"], "POST /echo?scope=openid%20email HTTP/1.1");
    EXPECT_TRUE(recorded[0]["body"] == hex(body)) << "body differs";
    auto fields = recorded[0]["headers"].get<std::vector<std::string>>();
    std::vector<std::string> expected = {
        "Authorization: Bearer " + kSecret,
        "X-Empty:", "Host: 127.0.0.1:" + std::to_string(server.port()), "Accept: */*",
        "Content-Length: " + std::to_string(body.size())};
    std::ranges::sort(fields);
    std::ranges::sort(expected);
    EXPECT_EQ(fields, expected);
}

TEST_F(CurlHttpClientTest, MalformedRequestsAreRefusedUnsentWithoutQuotingTheField) {
    struct Case {
        std::string method;
        platform::HeaderFields headers;
        std::chrono::milliseconds timeout;
    };
    const Case cases[] = {
        {"GET", {{"Authorization", kSecret + "\r\nX-Injected: 1"}}, 10s},
        {"GET", {{"X-Token", kSecret + '\0'}}, 10s},
        {"GET", {{"X Token", kSecret}}, 10s},
        {"GET", {{"", kSecret}}, 10s},
        {"GET /evil", {}, 10s},
        {"GET", {}, 0ms},
    };
    for (const Case& c : cases) {
        HttpRequest r = request(server.url("/echo"), c.method, "", c.timeout);
        r.headers = c.headers;
        const auto result = client.send(r);
        const auto* error = std::get_if<TransferError>(&result);
        ASSERT_TRUE(error) << c.method << ": " << outcome(result);
        EXPECT_EQ(error->description.find(kSecret), std::string::npos) << error->description;
    }
    EXPECT_TRUE(server.records("connect").empty());
}

TEST_F(CurlHttpClientTest, ARedirectComesBackAsItCameAndIsNotFollowed) {
    const auto result = client.send(request(server.url("/redirect")));
    const auto* response = std::get_if<HttpResponse>(&result);
    ASSERT_TRUE(response) << outcome(result);
    EXPECT_EQ(response->status, 302);
    EXPECT_EQ(response->header("location"), "/echo");
    EXPECT_EQ(response->header("X-Padded"), "padded value");
    EXPECT_EQ(server.records("request").size(), 1U);
}

TEST_F(CurlHttpClientTest, AnswersOverTheCapFailAndAnAnnouncedOneIsNotWaitedFor) {
    CurlHttpClient capped(CurlHttpClient::Options{.maxBodyBytes = 1024});
    struct Case {
        std::string framing;
        std::size_t size;
        bool fits;
    };
    const Case cases[] = {
        {"chunked", 1024, true}, {"chunked", 1025, false}, {"announce", 1025, false}};
    for (const auto& [framing, size, fits] : cases) {
        SCOPED_TRACE(framing + " " + std::to_string(size));
        const auto result = capped.send(
            request(server.url("/big?framing=" + framing + "&n=" + std::to_string(size))));
        if (fits) {
            const auto* response = std::get_if<HttpResponse>(&result);
            ASSERT_TRUE(response) << outcome(result);
            EXPECT_EQ(response->body, std::string(size, 'x'));
        } else {
            const auto* error = std::get_if<TransferError>(&result);
            ASSERT_TRUE(error) << outcome(result);
            EXPECT_NE(error->description.find("1024"), std::string::npos) << error->description;
        }
    }
}

TEST_F(CurlHttpClientTest, NoAnswerIsATransferErrorThatNamesNoSecret) {
    TestServer tls(true);
    int refusedPort = 0;
    const int refusing = loopbackSocket(false, refusedPort);
    struct Case {
        std::string url;
        std::chrono::milliseconds timeout;
        std::string mentions;
    };
    const Case cases[] = {
        {"http://127.0.0.1:" + std::to_string(refusedPort) + "/echo", 10s, "connect"},
        {server.url("/hang"), 1s, "imeout"},
        {tls.url("/echo"), 10s, "certificate"},  // self-signed
        {"file:///etc/hostname", 10s, "nsupported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        HttpRequest r = request(c.url, "POST", "refresh_token=" + kSecret, c.timeout);
        r.headers = {{"Authorization", "Bearer " + kSecret}};
        const auto started = Clock::now();
        const auto result = client.send(r);
        const auto* error = std::get_if<TransferError>(&result);
        ASSERT_TRUE(error) << outcome(result);
        EXPECT_LT(Clock::now() - started, c.timeout + 4s);
        EXPECT_NE(error->description.find(c.mentions), std::string::npos) << error->description;
        EXPECT_EQ(error->description.find("s3cret"), std::string::npos) << error->description;
    }
    EXPECT_TRUE(tls.records("request").empty());  // nothing was sent to the unverified peer
    ::close(refusing);
}

// Callers on many threads each get their own answer, and each caller's requests reuse
// connections rather than opening one per request.
TEST_F(CurlHttpClientTest, ConcurrentCallersEachGetTheirOwnAnswer) {
    constexpr int kThreads = 8;
    std::vector<std::string> failures[kThreads];
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 10; ++i) {
                    const std::string body = std::to_string(t) + "/" + std::to_string(i);
                    const auto result = client.send(request(server.url("/echo"), "POST", body));
                    const auto* response = std::get_if<HttpResponse>(&result);
                    if (!response || response->body != body) {
                        failures[t].push_back(body + ": " + outcome(result));
                    }
                }
            });
        }
    }
    for (const auto& list : failures) {
        EXPECT_TRUE(list.empty()) << list.front();
    }
    EXPECT_EQ(server.records("request").size(), kThreads * 10U);
    EXPECT_LE(server.records("connect").size(), kThreads + 1U);
}

}  // namespace
}  // namespace zandorin::adapters
