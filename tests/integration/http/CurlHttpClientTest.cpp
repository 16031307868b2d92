// The curl adapter against http_test_server.py on loopback, which records every connection and
// every request (raw header lines) as it saw them: the wire details and failures
// the end-to-end tests, against a well-behaved service, do not see.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "adapters/curl/CurlHttpClient.h"

namespace zandorin::adapters {
namespace {

using namespace std::chrono_literals;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::TransferError;

// Stands in for a token: it must never come back in an error description.
const std::string kSecret = "zd-s3cret-5b07e1d9";

// http_test_server.py on free loopback ports, plain and TLS, ended by its PID. It logs each
// connection and request before answering, so once send() returns, what it saw is in the log.
class TestServer {
public:
    TestServer() {
        ::close(::mkstemp(log_.data()));
        pipe_ =
            ::popen(("exec /usr/bin/python3 " ZANDORIN_HTTP_TEST_SERVER " " + log_).c_str(), "r");
        EXPECT_EQ(std::fscanf(pipe_, "%d %d %d", &pid_, &port_, &tlsPort_),
                  3);  // NOLINT(cert-err34-c)
    }

    ~TestServer() {
        if (pid_ > 1) {
            ::kill(pid_, SIGKILL);
        }
        ::pclose(pipe_);
        ::unlink(log_.c_str());
    }

    int port() const { return port_; }
    std::string url(const std::string& path, bool tls = false) const {
        return (tls ? "https" : "http") +
               ("://127.0.0.1:" + std::to_string(tls ? tlsPort_ : port_)) + path;
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
    std::string log_ = "/tmp/zandorin-http-test-XXXXXX";
    FILE* pipe_ = nullptr;
    int pid_ = 0;
    int port_ = 0;
    int tlsPort_ = 0;
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

    // The response, or a failed expectation naming the transfer error.
    static const HttpResponse* response(const platform::HttpResult& result) {
        const auto* error = std::get_if<TransferError>(&result);
        EXPECT_FALSE(error) << error->description;
        return std::get_if<HttpResponse>(&result);
    }

    static HttpRequest request(std::string url, std::string method = "GET", std::string body = "",
                               std::chrono::milliseconds timeout = 10s) {
        return {std::move(method), std::move(url), {}, std::move(body), timeout};
    }

    TestServer server;
    CurlHttpClient client;
};

TEST_F(CurlHttpClientTest, BinaryBodiesAndEmptyFieldsArriveExactlyWithoutFieldsLibcurlWouldAdd) {
    // Large: libcurl would add "Expect: 100-continue", and a form Content-Type to any body.
    std::string body((1 << 20) + 1, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>((i * 131) % 256);  // every byte value, NUL included
    }
    HttpRequest r = request(server.url("/echo?scope=openid%20email"), "POST", body);
    r.headers = {{"Authorization", "Bearer " + kSecret}, {"X-Empty", ""}};
    const auto result = client.send(r);
    ASSERT_TRUE(response(result));
    EXPECT_TRUE(response(result)->body == body) << "echoed body differs";
    EXPECT_EQ(response(result)->header("x-padded"), "padded value");

    const auto recorded = server.records("request");
    ASSERT_EQ(recorded.size(), 1U);
    EXPECT_EQ(recorded[0]["line"], "POST /echo?scope=openid%20email HTTP/1.1");
    auto fields = recorded[0]["headers"].get<std::vector<std::string>>();
    std::ranges::sort(fields);  // the order is libcurl's own business
    EXPECT_EQ(fields, (std::vector<std::string>{"Accept: */*", "Authorization: Bearer " + kSecret,
                                                "Content-Length: " + std::to_string(body.size()),
                                                "Host: 127.0.0.1:" + std::to_string(server.port()),
                                                "X-Empty:"}));

    // Followed, a redirect would take the bearer token wherever the answer points.
    r.url = server.url("/redirect");
    const auto redirected = client.send(r);
    ASSERT_TRUE(response(redirected));
    EXPECT_EQ(response(redirected)->status, 302);
    EXPECT_EQ(server.records("request").size(), 2U);
}

// Refused unsent: malformed requests, without quoting the field. No answer, or one over the cap
// (announced: not waited for): a transfer error.
TEST_F(CurlHttpClientTest, FailuresAreTransferErrorsThatNameNoSecret) {
    CurlHttpClient capped(CurlHttpClient::Options{.maxBodyBytes = 1024});
    const auto fits = capped.send(request(server.url("/big?framing=chunked&n=1024")));
    ASSERT_TRUE(response(fits));
    EXPECT_EQ(response(fits)->body, std::string(1024, 'x'));
    struct Case {
        std::string url, method;
        platform::HeaderFields headers;
        std::chrono::milliseconds timeout;
        std::string mentions;
    };
    const std::string echo = server.url("/echo");
    const platform::HeaderFields bearer = {{"Authorization", "Bearer " + kSecret}};
    const Case cases[] = {
        {echo, "GET", {{"Authorization", kSecret + "\r\nX-Injected: 1"}}, 10s, ""},
        {echo, "GET", {{"X-Token", kSecret + '\0'}}, 10s, ""},
        {echo, "GET", {{"X Token", kSecret}}, 10s, ""},
        {echo, "GET", {{"", kSecret}}, 10s, ""},
        {echo, "GET /evil", {}, 10s, ""},
        {echo, "GET", {}, 0ms, ""},
        {"http://127.0.0.1:1/echo", "POST", bearer, 10s, "connect"},
        {server.url("/hang"), "POST", bearer, 1s, "imeout"},
        {server.url("/big?framing=chunked&n=1025"), "POST", bearer, 10s, "1024"},
        {server.url("/big?framing=announce&n=1025"), "POST", bearer, 10s, "1024"},
        {server.url("/echo", true), "POST", bearer, 10s, "certificate"},  // self-signed
        {"file:///etc/hostname", "POST", bearer, 10s, "nsupported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + " " + c.url);
        HttpRequest r = request(c.url, c.method, "refresh_token=" + kSecret, c.timeout);
        r.headers = c.headers;
        const auto result = capped.send(r);
        ASSERT_TRUE(std::holds_alternative<TransferError>(result));
        const std::string& description = std::get<TransferError>(result).description;
        EXPECT_NE(description.find(c.mentions), std::string::npos) << description;
        EXPECT_EQ(description.find("s3cret"), std::string::npos) << description;
    }
    // Nothing reaches the unverified peer.
    EXPECT_EQ(server.records("request").size(), 4U) << "only /big and /hang are sent";

    // On quit: a transfer in flight ends at stop(), not at its time-out; no later one is sent.
    auto hung =
        std::async([&] { return capped.send(request(server.url("/hang"), "GET", "", 60s)); });
    for (int i = 0; i < 500 && server.records("request").size() < 5U; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    capped.stop();
    for (const auto& result : {hung.get(), capped.send(request(echo))}) {
        EXPECT_EQ(std::get<TransferError>(result).description, "the application is quitting");
    }
    EXPECT_EQ(server.records("request").size(), 5U);
}

// Callers on many threads (sharing one connection cache) each get their own answer, and reuse
// connections rather than open one per request.
TEST_F(CurlHttpClientTest, ConcurrentCallersEachGetTheirOwnAnswer) {
    std::atomic<int> wrong{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 10; ++i) {
                    const std::string body = std::to_string(t * 10 + i);
                    const auto result = client.send(request(server.url("/echo"), "POST", body));
                    const auto* answer = std::get_if<HttpResponse>(&result);
                    wrong += answer && answer->body == body ? 0 : 1;
                }
            });
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(server.records("request").size(), 80U);
    EXPECT_LE(server.records("connect").size(), 9U);
}

}  // namespace
}  // namespace zandorin::adapters
