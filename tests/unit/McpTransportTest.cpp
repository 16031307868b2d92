#include <gtest/gtest.h>

#include <thread>

#include "service/McpTransport.h"
#include "support/TestPlatform.h"

namespace zandorin {
namespace {

using Json = McpTransport::Json;
using platform::HttpResponse;
using platform::TransferError;

HttpResponse answer(long status, std::string body, platform::HeaderFields headers = {}) {
    return HttpResponse{.status = status, .headers = std::move(headers), .body = std::move(body)};
}

TEST(ParseResponse, FindsTheReplyInJsonAndEventStreams) {
    const std::string reply = R"({"jsonrpc":"2.0","id":7,"result":{"ok":true}})";
    const std::string note = R"({"jsonrpc":"2.0","method":"notifications/message"})";
    std::string huge = "event: message\n";
    for (int i = 0; i < 100000; ++i) {
        huge += "data: " + note + "\n\n";  // ~6 MB of notifications, then the reply
    }
    huge += "data: " + std::string(4 * 1024 * 1024, ' ') + reply + "\n";
    struct Case {
        const char* name;
        std::string body;
        std::optional<std::string> expected;  // compact JSON of the object found
    };
    const std::vector<Case> cases = {
        {"plain json", reply, reply},
        {"event stream", "event: message\ndata: " + reply + "\n\n", reply},
        {"crlf line ends", "event: message\r\ndata: " + reply + "\r\n\r\n", reply},
        {"data without space", "data:" + reply + "\n", reply},
        {"two replies: the later wins",
         "data: {\"id\":1,\"result\":1}\n\ndata: {\"id\":2,\"result\":2}\n\n",
         R"({"id":2,"result":2})"},
        {"notification after the reply", "data: " + reply + "\n\ndata: " + note + "\n\n", reply},
        {"notification before the reply", "data: " + note + "\n\ndata: " + reply + "\n\n", reply},
        {"error reply", R"({"jsonrpc":"2.0","id":null,"error":{"code":-32001}})",
         R"({"error":{"code":-32001},"id":null,"jsonrpc":"2.0"})"},
        {"escaped member name", "data: {\"\\u0072esult\":1}\n\ndata: " + note + "\n",
         R"({"result":1})"},
        {"null result counts", R"({"result":null})", R"({"result":null})"},
        {"pretty-printed: whole body", "{\n  \"result\": {\n    \"a\": 1\n  }\n}",
         R"({"result":{"a":1}})"},
        {"object without result: whole body", R"({"jsonrpc":"2.0","method":"x"})",
         R"({"jsonrpc":"2.0","method":"x"})"},
        {"array", "[1,2]", std::nullopt},
        {"nested too deep",
         "data: {\"result\":" + std::string(64, '[') + std::string(64, ']') + "}", std::nullopt},
        {"empty", "", std::nullopt},
        {"html", "<html>502 Bad Gateway</html>", std::nullopt},
        {"not utf-8", "data: {\"result\":\"\xff\"}\n", std::nullopt},
        {"stream of notifications only", "data: " + note + "\n\n", std::nullopt},
        {"10 MB stream, reply last", huge, reply},
    };
    for (const auto& c : cases) {
        const auto found = McpTransport::parseResponse(c.body);
        if (c.expected) {
            ASSERT_TRUE(found) << c.name;
            EXPECT_EQ(*found, Json::parse(*c.expected)) << c.name;
        } else {
            EXPECT_FALSE(found) << c.name;
        }
    }
}

// A transport against fakes, signed in with "token-1"; a refresh stores the next token or, when
// there is none, signs out.
struct Rig {
    Rig() {
        fakes.bundle.values["MCP_SERVER_URL"] = "http://127.0.0.1:9/base";
        keychain.save("token-1", "access_token");
    }

    std::vector<std::string> log() const {
        std::vector<std::string> lines;
        for (const auto& line : fakes.systemLog.lines()) {
            EXPECT_EQ(line.subsystem, "com.zandorin.auth");
            EXPECT_EQ(line.category, "HealthCheck");
            lines.push_back(line.message);
        }
        return lines;
    }

    test::TestPlatform fakes;
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    int refreshes = 0;
    std::optional<std::string> tokenAfterRefresh = "token-2";
    McpTransport transport{fakes.platform, keychain, [this] {
                               ++refreshes;
                               if (tokenAfterRefresh) {
                                   keychain.save(*tokenAfterRefresh, "access_token");
                               } else {
                                   keychain.remove("access_token");
                               }
                           }};
};

class McpTransportTest : public ::testing::Test, protected Rig {};

TEST_F(McpTransportTest, CallOutcomesByStatus) {
    const std::string rpcError = R"({"jsonrpc":"2.0","id":1,"error":{"code":-32001}})";
    const std::string ok = R"({"jsonrpc":"2.0","id":1,"result":{}})";
    struct Case {
        const char* name;
        std::vector<platform::HttpResult> script;
        std::optional<std::string> tokenAfterRefresh;
        bool replied;
        std::vector<std::string> log;
    };
    const std::vector<Case> cases = {
        {"transfer fails",
         {TransferError{"timeout"}},
         {},
         false,
         {"[HealthCheck] m: network error"}},
        {"status 0", {answer(0, ok)}, {}, false, {"[HealthCheck] m: HTTP 0 body=" + ok}},
        {"199", {answer(199, ok)}, {}, false, {"[HealthCheck] m: HTTP 199 body=" + ok}},
        {"200", {answer(200, ok)}, {}, true, {"[HealthCheck] m: HTTP 200 body=" + ok}},
        {"404 with an error object",
         {answer(404, rpcError)},
         {},
         true,
         {"[HealthCheck] m: HTTP 404 body=" + rpcError}},
        {"404 without a body", {answer(404, "")}, {}, false, {"[HealthCheck] m: HTTP 404 body="}},
        {"500 with an error object",
         {answer(500, rpcError)},
         {},
         false,
         {"[HealthCheck] m: HTTP 500 body=" + rpcError}},
        {"not utf-8",
         {answer(200, "\xc3")},
         {},
         false,
         {"[HealthCheck] m: HTTP 200 body=(no body)"}},
        {"401 then 200",
         {answer(401, "{}"), answer(200, ok)},
         "token-2",
         true,
         {"[HealthCheck] m: HTTP 401 body={}", "[HealthCheck] m: 401, refreshing token...",
          "[HealthCheck] m: retry HTTP 200 body=" + ok}},
        {"401 twice: parsed, no second refresh",
         {answer(401, R"({"error":"invalid_token"})"), answer(401, R"({"error":"invalid_token"})")},
         "token-2",
         true,
         {R"([HealthCheck] m: HTTP 401 body={"error":"invalid_token"})",
          "[HealthCheck] m: 401, refreshing token...",
          R"([HealthCheck] m: retry HTTP 401 body={"error":"invalid_token"})"}},
        {"401, refresh signs out",
         {answer(401, "")},
         std::nullopt,
         false,
         {"[HealthCheck] m: HTTP 401 body=", "[HealthCheck] m: 401, refreshing token...",
          "[HealthCheck] m: refresh failed, no new token"}},
        {"401, retry transfer fails",
         {answer(401, ""), TransferError{"reset"}},
         "token-2",
         false,
         {"[HealthCheck] m: HTTP 401 body=", "[HealthCheck] m: 401, refreshing token...",
          "[HealthCheck] m: retry network error"}},
        {"401, retry 503",
         {answer(401, ""), answer(503, ok)},
         "token-2",
         false,
         {"[HealthCheck] m: HTTP 401 body=", "[HealthCheck] m: 401, refreshing token...",
          "[HealthCheck] m: retry HTTP 503 body=" + ok}},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.tokenAfterRefresh = c.tokenAfterRefresh;
        for (const auto& result : c.script) {
            rig.fakes.http.enqueue(result);
        }
        EXPECT_EQ(rig.transport.mcpCall("m", Json::object()).has_value(), c.replied) << c.name;
        EXPECT_EQ(rig.log(), c.log) << c.name;
        EXPECT_EQ(rig.fakes.http.requests().size(), c.script.size()) << c.name;
        EXPECT_EQ(rig.refreshes, c.log.size() == 3 ? 1 : 0) << c.name;
    }
}

TEST_F(McpTransportTest, RequestCarriesTheHeadersInOrderAndTheRetryRepeatsIt) {
    fakes.http.enqueue(answer(200, "{}", {{"mcp-session-id", "s-1"}}));
    transport.mcpCall("initialize", Json::object());
    fakes.http.enqueue(answer(401, "", {{"Mcp-Session-Id", "s-from-401"}}));
    fakes.http.enqueue(answer(200, "{}", {{"Mcp-Session-Id", "s-from-retry"}}));
    transport.mcpCall("tools/call", {{"name", "x"}});

    const auto requests = fakes.http.requests();
    ASSERT_EQ(requests.size(), 3u);
    const auto& first = requests[1];
    EXPECT_EQ(first.method, "POST");
    EXPECT_EQ(first.url, "http://127.0.0.1:9/base/mcp");
    EXPECT_EQ(first.timeout, std::chrono::seconds(15));
    const platform::HeaderFields expected = {
        {"Authorization", "Bearer token-1"},
        {"Content-Type", "application/json"},
        {"Accept", "text/event-stream, application/json"},
        {"Mcp-Session-Id", "s-1"},
    };
    EXPECT_EQ(first.headers, expected);
    EXPECT_EQ(requests[0].headers.size(), 3u) << "no session header before a session exists";

    const auto envelope = Json::parse(first.body);
    EXPECT_EQ(envelope.size(), 4u);
    EXPECT_EQ(envelope["jsonrpc"], "2.0");
    EXPECT_EQ(envelope["method"], "tools/call");
    EXPECT_EQ(envelope["params"], Json({{"name", "x"}}));
    EXPECT_GE(envelope["id"].get<int>(), 1);
    EXPECT_LE(envelope["id"].get<int>(), 99999);
    EXPECT_EQ(Json::parse(requests[0].body)["params"], Json::object());

    // Same body, id and session header; only the bearer is new.
    auto retried = requests[2];
    EXPECT_EQ(retried.headers[0].second, "Bearer token-2");
    EXPECT_EQ(retried.headers[3].second, "s-1");
    EXPECT_EQ(retried.body, first.body);
    EXPECT_EQ(refreshes, 1);
    // Both answers' session ids are stored, the retry's last: a retried "initialize" opens the
    // session that the following messages need.
    EXPECT_EQ(transport.sessionId(), "s-from-retry");
}

TEST_F(McpTransportTest, SessionIdLivesUntilTheServerNoLongerKnowsIt) {
    const std::string gone = R"({"jsonrpc":"2.0","id":null,"error":{"code":-32001}})";
    fakes.http.enqueue(answer(200, "{}", {{"Mcp-Session-Id", "s-1"}}));
    transport.mcpCall("initialize", Json::object());
    fakes.http.enqueue(answer(500, ""));  // no header: kept
    transport.mcpCall("tools/call", Json::object());
    EXPECT_EQ(transport.sessionId(), "s-1");

    // A restarted server answers 404 to the old id: forgotten, and the next message opens anew.
    fakes.http.enqueue(answer(404, gone));
    EXPECT_TRUE(transport.mcpCall("initialize", Json::object()));
    EXPECT_EQ(transport.sessionId(), std::nullopt);
    fakes.http.enqueue(answer(200, "{}", {{"Mcp-Session-Id", "s-2"}}));
    transport.mcpCall("initialize", Json::object());
    EXPECT_EQ(fakes.http.requests().back().headers.size(), 3u);
    EXPECT_EQ(transport.sessionId(), "s-2");

    // A notification that carried the id tells the same.
    fakes.http.enqueue(answer(404, ""));
    EXPECT_FALSE(transport.mcpNotify("notifications/initialized"));
    EXPECT_EQ(transport.sessionId(), std::nullopt);

    // A session started by a concurrent message while an old one was refused stays.
    fakes.http.enqueue(answer(200, "{}", {{"Mcp-Session-Id", "s-3"}}));
    transport.mcpCall("initialize", Json::object());
    fakes.http.setFallback([this, gone](const platform::HttpRequest&) -> platform::HttpResult {
        fakes.http.setFallback({});
        fakes.http.enqueue(answer(200, "{}", {{"Mcp-Session-Id", "s-4"}}));
        transport.mcpCall("initialize", Json::object());  // lands while s-3 is refused
        return answer(404, gone);
    });
    transport.mcpCall("tools/call", Json::object());
    EXPECT_EQ(transport.sessionId(), "s-4");
}

TEST_F(McpTransportTest, ConcurrentCallsShareTheSessionSafely) {
    fakes.http.setFallback([](const platform::HttpRequest& request) {
        return answer(200, "{}", {{"Mcp-Session-Id", request.body.substr(0, 8)}});
    });
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([this] {
            for (int i = 0; i < 50; ++i) {
                transport.mcpCall("tools/call", Json::object());
                transport.mcpNotify("notifications/initialized");
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_TRUE(transport.sessionId());
}

TEST_F(McpTransportTest, NotificationOutcomes) {
    struct Case {
        platform::HttpResult result;
        bool accepted;
        std::vector<std::string> log;
    };
    const std::vector<Case> cases = {
        {answer(202, ""), true, {"[HealthCheck] notify n: HTTP 202"}},
        {answer(302, ""), true, {"[HealthCheck] notify n: HTTP 302"}},
        {answer(400, "{}"), false, {"[HealthCheck] notify n: HTTP 400"}},
        {answer(401, ""), false, {"[HealthCheck] notify n: HTTP 401"}},
        {TransferError{"refused"}, false, {}},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.fakes.http.enqueue(c.result);
        EXPECT_EQ(rig.transport.mcpNotify("n"), c.accepted);
        EXPECT_EQ(rig.log(), c.log);
        EXPECT_EQ(rig.refreshes, 0);
        const auto request = rig.fakes.http.requests().at(0);
        EXPECT_EQ(request.timeout, std::chrono::seconds(10));
        EXPECT_EQ(Json::parse(request.body), Json({{"jsonrpc", "2.0"}, {"method", "n"}}));
        // Without Accept the streamable HTTP server refuses the notification with 406.
        EXPECT_EQ(request.headers.at(2), platform::HeaderFields::value_type(
                                             "Accept", "text/event-stream, application/json"));
    }
}

TEST_F(McpTransportTest, NothingIsSentWithoutTokenOrUrl) {
    keychain.remove("access_token");
    EXPECT_FALSE(transport.mcpCall("initialize", Json::object()));
    EXPECT_FALSE(transport.mcpNotify("notifications/initialized"));
    keychain.save("token-1", "access_token");
    fakes.bundle.values["MCP_SERVER_URL"] = "not a url";
    EXPECT_FALSE(transport.mcpCall("initialize", Json::object()));
    EXPECT_FALSE(transport.mcpNotify("notifications/initialized"));
    EXPECT_TRUE(fakes.http.requests().empty());
    EXPECT_TRUE(log().empty());
}

TEST_F(McpTransportTest, BodyExcerptStopsAt500CharactersWithoutSplittingOne) {
    std::string body;
    for (int i = 0; i < 600; ++i) {
        body += "界";  // three bytes each
    }
    fakes.http.enqueue(answer(200, body));
    transport.mcpCall("m", Json::object());
    const auto line = log().at(0);
    const std::string prefix = "[HealthCheck] m: HTTP 200 body=";
    ASSERT_TRUE(line.starts_with(prefix));
    EXPECT_EQ(line.substr(prefix.size()), body.substr(0, 500 * 3));
}

}  // namespace
}  // namespace zandorin
