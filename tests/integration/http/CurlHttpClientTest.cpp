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
using platform::HeaderFields;
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

struct RecordedRequest {
    std::string line;
    std::vector<std::string> headers;
    std::string body;
};

// http_test_server.py, serving on a socket of ours (so connections queue from the start) and
// ended by its PID. It records each connection and request in a file before answering, so once
// send() returns, what the server saw is there.
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

    std::vector<RecordedRequest> requests() const {
        std::vector<RecordedRequest> out;
        for (const auto& record : records("request")) {
            const auto hex = record["body"].get<std::string>();
            std::string body;
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
                body.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            }
            out.push_back({record["line"], record["headers"], body});
        }
        return out;
    }

    int connections() const { return static_cast<int>(records("connect").size()); }

private:
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

TEST_F(CurlHttpClientTest, SendsTheRequestLineFieldsAndBodyExactly) {
    std::string binary((1 << 20) + 1, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i) {
        binary[i] = static_cast<char>((i * 131) % 256);  // every byte value, NUL included
    }
    const std::string json = R"({"deviceToken":"abc","platform":"linux"})";
    struct Case {
        std::string method;
        std::string target;
        HeaderFields headers;
        std::string body;
        bool framed;  // Content-Length expected
    };
    const std::vector<Case> cases = {
        {"GET", "/echo?scope=openid%20email&x=1", {}, "", false},
        {"GET",
         "/echo",
         {{"accept", "application/json"},
          {"Authorization", "Bearer " + kSecret},
          {"X-Empty", ""},
          {"User-Agent", "ZandorinAuth/1.0"}},
         "",
         false},
        {"POST",
         "/echo",
         {{"Content-Type", "application/x-www-form-urlencoded"}, {"Accept", "application/json"}},
         "grant_type=refresh_token&refresh_token=" + kSecret + "&client_id=app",
         true},
        {"POST", "/echo", {{"Accept", "text/event-stream"}}, "", true},
        {"DELETE", "/echo", {{"Content-Type", "application/json"}}, json, true},
        // Large: libcurl would add "Expect: 100-continue", and a form Content-Type to any body.
        {"POST", "/echo", {}, binary, true},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& sent = cases[i];
        SCOPED_TRACE(sent.method + " " + sent.target + " #" + std::to_string(i));
        HttpRequest r = request(server.url(sent.target), sent.method, sent.body);
        r.headers = sent.headers;
        const auto result = client.send(r);
        const auto* response = std::get_if<HttpResponse>(&result);
        ASSERT_TRUE(response) << outcome(result);
        EXPECT_EQ(response->status, 200);
        EXPECT_TRUE(response->body == sent.body) << "echoed body differs";

        const auto recorded = server.requests();
        ASSERT_EQ(recorded.size(), i + 1);
        const RecordedRequest& got = recorded.back();
        EXPECT_EQ(got.line, sent.method + " " + sent.target + " HTTP/1.1");
        EXPECT_TRUE(got.body == sent.body) << "body differs, " << got.body.size() << " bytes";

        // The caller's fields in order and verbatim; besides them only Host, Content-Length
        // where there is a body, and Accept: */* when the caller set no Accept.
        std::vector<std::string> given;
        for (const auto& [name, value] : sent.headers) {
            given.push_back(name + (value.empty() ? ":" : ": ") + value);
        }
        std::vector<std::string> added = {"Host: 127.0.0.1:" + std::to_string(server.port())};
        HttpResponse asGiven;
        asGiven.headers = sent.headers;
        if (!asGiven.header("Accept")) {
            added.emplace_back("Accept: */*");
        }
        if (sent.framed) {
            added.push_back("Content-Length: " + std::to_string(sent.body.size()));
        }
        std::vector<std::string> ours;
        std::vector<std::string> theirs;
        for (const auto& line : got.headers) {
            (std::ranges::find(given, line) != given.end() ? ours : theirs).push_back(line);
        }
        std::ranges::sort(added);
        std::ranges::sort(theirs);
        EXPECT_EQ(ours, given);
        EXPECT_EQ(theirs, added);
    }
}

TEST_F(CurlHttpClientTest, MalformedRequestsFailBeforeAnythingIsSent) {
    struct Case {
        std::string method;
        HeaderFields headers;
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
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(CurlHttpClientTest, ReturnsEveryStatusAsItCameAndFollowsNoRedirect) {
    std::size_t sent = 0;
    for (const long status : {302L, 401L}) {
        SCOPED_TRACE(status);
        const auto result = client.send(request(server.url("/status/" + std::to_string(status))));
        ++sent;
        const auto* response = std::get_if<HttpResponse>(&result);
        ASSERT_TRUE(response) << outcome(result);
        const std::string body = "status " + std::to_string(status) + "\n";
        HeaderFields expected = {{"Content-Type", "text/plain"},
                                 {"X-Trace-Id", "abc-123"},
                                 {"X-Padded", "padded value"}};
        if (status == 302) {
            expected.emplace_back("Location", "/status/200");
        }
        expected.emplace_back("Content-Length", std::to_string(body.size()));
        EXPECT_EQ(response->status, status);
        EXPECT_EQ(response->headers, expected);
        EXPECT_EQ(response->body, body);
        EXPECT_EQ(server.requests().size(), sent);  // a redirect is not followed
    }
}

TEST_F(CurlHttpClientTest, BodiesUpToTheCapArriveAndLargerOnesFail) {
    CurlHttpClient capped(CurlHttpClient::Options{.maxBodyBytes = 1024});
    struct Case {
        std::string framing;
        std::size_t size;
        bool fits;
    };
    const Case cases[] = {
        {"length", 1024, true},      {"chunked", 1024, true},  {"close", 1024, true},
        {"length", 1025, false},     {"chunked", 1025, false}, {"close", 1025, false},
        {"announce", 1025, false},    // refused on the announced length alone
        {"chunked", 8 << 20, false},  // aborted early, not read to the end
    };
    for (const auto& [framing, size, fits] : cases) {
        SCOPED_TRACE(framing + " " + std::to_string(size));
        const auto started = Clock::now();
        const auto result = capped.send(
            request(server.url("/big?framing=" + framing + "&n=" + std::to_string(size))));
        EXPECT_LT(Clock::now() - started, 5s);
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

TEST_F(CurlHttpClientTest, NoAnswerIsATransferErrorThatRevealsNothingOfTheRequest) {
    TestServer tls(true);
    int refusedPort = 0;
    const int refusing = loopbackSocket(false, refusedPort);
    const std::string refused = "http://127.0.0.1:" + std::to_string(refusedPort);
    struct Case {
        std::string url;
        std::chrono::milliseconds timeout;
        std::chrono::milliseconds atLeast;
        std::string mentions;
    };
    const Case cases[] = {
        {refused + "/echo", 10s, 0ms, "connect"},
        {server.url("/hang"), 1s, 900ms, "imeout"},   // silent server
        {server.url("/drip"), 1s, 900ms, "imeout"},   // stalled body
        {tls.url("/echo"), 10s, 0ms, "certificate"},  // self-signed
        {"ftp://127.0.0.1:" + std::to_string(server.port()) + "/", 10s, 0ms, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        HttpRequest r = request(c.url, "POST", "refresh_token=" + kSecret, c.timeout);
        r.headers = {{"Authorization", "Bearer " + kSecret},
                     {"Content-Type", "application/x-www-form-urlencoded"}};
        const auto started = Clock::now();
        const auto result = client.send(r);
        const auto elapsed = Clock::now() - started;
        const auto* error = std::get_if<TransferError>(&result);
        ASSERT_TRUE(error) << outcome(result);
        EXPECT_GE(elapsed, c.atLeast);
        EXPECT_LT(elapsed, 5s);
        EXPECT_FALSE(error->description.empty());
        EXPECT_NE(error->description.find(c.mentions), std::string::npos) << error->description;
        EXPECT_EQ(error->description.find("s3cret"), std::string::npos) << error->description;
    }
    EXPECT_TRUE(tls.requests().empty());  // nothing was sent to the unverified peer
    ::close(refusing);
}

// One caller's requests ride one connection; callers on many threads all get their own answer.
TEST_F(CurlHttpClientTest, ConnectionsAreReusedAndConcurrentCallersAreServedApart) {
    for (int i = 0; i < 10; ++i) {
        const auto result = client.send(i % 2 ? request(server.url("/echo"), "POST", "n")
                                              : request(server.url("/echo")));
        ASSERT_TRUE(std::holds_alternative<HttpResponse>(result)) << i << ": " << outcome(result);
    }
    EXPECT_EQ(server.connections(), 1);

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
    EXPECT_EQ(server.requests().size(), 10U + kThreads * 10);
    EXPECT_LE(server.connections(), kThreads + 1);
}

}  // namespace
}  // namespace zandorin::adapters
