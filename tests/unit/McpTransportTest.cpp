#include <gtest/gtest.h>

#include <thread>

#include "common/ServiceConfig.h"
#include "service/McpTransport.h"
#include "support/Fakes.h"

namespace zandorin {
namespace {

using Json = McpTransport::Json;
using platform::HttpResponse;
using platform::TransferError;
using test::answer;

TEST(McpTransportParseTest, FindsTheReplyInJsonAndEventStreams) {
    const std::string reply = R"({"jsonrpc":"2.0","id":7,"result":{"ok":true}})";
    const std::string note = R"({"jsonrpc":"2.0","method":"notifications/message"})";
    std::string huge = "event: message\n";
    for (int i = 0; i < 100000; ++i) {
        huge += "data: " + note + "\n\n";  // ~6 MB of notifications, then the reply
    }
    huge += "data: " + std::string(4 * 1024 * 1024, ' ') + reply + "\n";
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {reply, reply},
        {"event: message\r\ndata: " + reply + "\r\n\r\n", reply},
        {"data:" + reply + "\n", reply},
        {"data: {\"id\":1,\"result\":1}\n\ndata: {\"id\":2,\"result\":2}\n\n",
         R"({"id":2,"result":2})"},
        {"data: " + reply + "\n\ndata: " + note + "\n\n", reply},
        {R"({"id":null,"error":{"code":-32001}})", R"({"id":null,"error":{"code":-32001}})"},
        {"data: {\"\\u0072esult\":1}\n\ndata: " + note + "\n", R"({"result":1})"},
        {"{\n  \"result\": {\n    \"a\": 1\n  }\n}", R"({"result":{"a":1}})"},
        {R"({"jsonrpc":"2.0","method":"x"})", R"({"jsonrpc":"2.0","method":"x"})"},
        {"data: " + note + "\n\n", std::nullopt},
        {"[1,2]", std::nullopt},
        {"data: {\"result\":" + std::string(64, '[') + std::string(64, ']') + "}", std::nullopt},
        {"data: {\"result\":\"\xff\"}\n", std::nullopt},
        {huge, reply},
    };
    for (const auto& [body, expected] : cases) {
        const auto found = McpTransport::parseResponse(body);
        EXPECT_EQ(found, expected ? std::optional(Json::parse(*expected)) : std::nullopt)
            << body.substr(0, 80);
    }
}

// A transport against fakes, signed in with "token-1"; a refresh stores the next token or, when
// there is none, signs out.
struct Rig {
    Rig() { keychain.save("token-1", "access_token"); }
    test::TestPlatform fakes;
    KeychainHelper keychain{fakes.keychain, "com.zandorin.auth"};
    int refreshes = 0;
    std::optional<std::string> tokenAfterRefresh = "token-2";
    McpTransport transport{fakes.platform, keychain, [this] {
                               ++refreshes;
                               tokenAfterRefresh ? keychain.save(*tokenAfterRefresh, "access_token")
                                                 : keychain.remove("access_token");
                           }};
};

class McpTransportTest : public ::testing::Test, protected Rig {};

TEST_F(McpTransportTest, OutcomesByStatusAndOneRetryAfterARefreshOn401OnlyForACallAllLogged) {
    const std::string ok = R"({"jsonrpc":"2.0","id":1,"result":{}})";
    const std::string err = R"({"jsonrpc":"2.0","id":1,"error":{"code":-32001}})";
    const std::string a499(499, 'a');
    struct Case {
        std::vector<platform::HttpResult> script;
        std::optional<std::string> tokenAfterRefresh;
        bool replied;         // or, for a notification, accepted
        std::string lastLog;  // "notify ..." for a notification
    };
    const std::vector<Case> cases = {
        {{TransferError{"timeout"}}, {}, false, "m: network error"},
        {{answer(199, ok)}, {}, false, "m: HTTP 199 body=" + ok},
        {{answer(200, ok)}, {}, true, "m: HTTP 200 body=" + ok},
        {{answer(404, err)}, {}, true, "m: HTTP 404 body=" + err},
        {{answer(404, "")}, {}, false, "m: HTTP 404 body="},
        {{answer(500, err)}, {}, false, "m: HTTP 500 body=" + err},
        {{answer(200, "\xc3")}, {}, false, "m: HTTP 200 body=(no body)"},
        // The body logged is cut at 500 characters, never inside one.
        {{answer(200, a499 + "界界")}, {}, false, "m: HTTP 200 body=" + a499 + "界"},
        {{answer(401, "{}"), answer(200, ok)}, "token-2", true, "m: retry HTTP 200 body=" + ok},
        {{answer(401, "{}"), answer(401, err)}, "token-2", true, "m: retry HTTP 401 body=" + err},
        {{answer(401, "")}, std::nullopt, false, "m: refresh failed, no new token"},
        {{answer(401, ""), TransferError{"reset"}}, "token-2", false, "m: retry network error"},
        {{answer(401, ""), answer(503, ok)}, "token-2", false, "m: retry HTTP 503 body=" + ok},
        {{answer(199, "")}, {}, false, "notify n: HTTP 199"},
        {{answer(200, "")}, {}, true, "notify n: HTTP 200"},
        {{answer(399, "")}, {}, true, "notify n: HTTP 399"},
        {{answer(401, "{}")}, "token-2", false, "notify n: HTTP 401"},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.tokenAfterRefresh = c.tokenAfterRefresh;
        for (const auto& result : c.script) {
            rig.fakes.http.enqueue(result);
        }
        const bool notify = c.lastLog.starts_with("notify");
        EXPECT_EQ(notify ? rig.transport.mcpNotify("n")
                         : rig.transport.mcpCall("m", Json::object()).has_value(),
                  c.replied)
            << c.lastLog;
        EXPECT_EQ(rig.fakes.systemLog.lines.back(), "HealthCheck: [HealthCheck] " + c.lastLog);
        const auto& sent = rig.fakes.http.requests;
        EXPECT_EQ(sent.size(), c.script.size()) << c.lastLog;
        // Without it the streamable HTTP server refuses even a notification with 406.
        EXPECT_EQ(sent.at(0).headers.at(2).second, "text/event-stream, application/json");
        EXPECT_EQ(Json::parse(sent[0].body).contains("id"), !notify);
        const auto* first = std::get_if<HttpResponse>(&c.script[0]);
        EXPECT_EQ(rig.refreshes, !notify && first && first->status == 401 ? 1 : 0) << c.lastLog;
    }
}

TEST_F(McpTransportTest, ASessionLastsUntilTheServerNoLongerKnowsIt) {
    fakes.http.enqueue(answer(200, "{}", {{"mcp-session-id", "s-1"}}));
    transport.mcpCall("initialize", Json::object());
    fakes.http.enqueue(answer(500, ""));
    transport.mcpCall("tools/call", Json::object());
    EXPECT_EQ(transport.sessionId(), "s-1");
    // The retry after a refresh repeats the message under the new token and its session; the
    // session it gets is kept, since a retried "initialize" opens the one the next ones need.
    fakes.http.enqueue(answer(401, "", {{"Mcp-Session-Id", "s-from-401"}}));
    fakes.http.enqueue(answer(200, "{}", {{"Mcp-Session-Id", "s-2"}}));
    transport.mcpCall("tools/call", {{"name", "x"}});
    const auto requests = fakes.http.requests;
    EXPECT_EQ(requests.front().headers.size(), 3u) << "no session header before a session";
    EXPECT_EQ(requests.back().headers.back().second, "s-1");
    EXPECT_EQ(requests.back().headers.front().second, "Bearer token-2");
    EXPECT_EQ(requests.back().body, requests[requests.size() - 2].body);
    EXPECT_EQ(transport.sessionId(), "s-2");
    fakes.http.enqueue(answer(404, ""));
    transport.mcpCall("tools/call", Json::object());
    EXPECT_EQ(transport.sessionId(), std::nullopt);
    fakes.http.enqueue(answer(200, "{}", {{"Mcp-Session-Id", "s-2"}}));
    transport.mcpCall("initialize", Json::object());
    EXPECT_EQ(fakes.http.requests.back().headers.size(), 3u);
    fakes.http.enqueue(answer(404, ""));
    EXPECT_FALSE(transport.mcpNotify("notifications/initialized"));
    EXPECT_EQ(transport.sessionId(), std::nullopt);

    // A session that a concurrent message started while the old one was refused stays.
    fakes.http.enqueue(answer(200, "{}", {{"Mcp-Session-Id", "s-3"}}));
    transport.mcpCall("initialize", Json::object());
    fakes.http.fallback = [this](const platform::HttpRequest&) -> platform::HttpResult {
        fakes.http.fallback = nullptr;
        fakes.http.enqueue(answer(200, "{}", {{"Mcp-Session-Id", "s-4"}}));
        transport.mcpCall("initialize", Json::object());
        return answer(404, "");
    };
    transport.mcpCall("tools/call", Json::object());
    EXPECT_EQ(transport.sessionId(), "s-4");
}

TEST_F(McpTransportTest, ConcurrentCallsShareTheSessionSafely) {
    fakes.http.fallback = [](const platform::HttpRequest& request) {
        return answer(200, "{}", {{"Mcp-Session-Id", request.body.substr(0, 8)}});
    };
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

// Without a token nothing is sent either: the controller's sign-out case sees it.
TEST_F(McpTransportTest, NothingIsSentWithoutAUrl) {
    fakes.desktop.infoPlist["MCP_SERVER_URL"] = "not a url";
    EXPECT_FALSE(transport.mcpCall("initialize", Json::object()));
    EXPECT_FALSE(transport.mcpNotify("notifications/initialized"));
    EXPECT_TRUE(fakes.http.requests.empty());
}

// Plain http:// carries tokens in clear, so only to this machine, in either key. "0x7f.1" is
// 127.0.0.1 to the parser.
TEST(ServiceConfigTest, PlainHttpOffThisMachineIsRefusedNamingTheKey) {
    const std::vector<std::string> allowed = {
        "https://id.example.com", "http://127.0.0.1:8765", "HTTP://127.8.0.1/x", "http://0x7f.1/",
        "http://LocalHost:1",     "http://[::1]:8765/mcp", "not a url"};
    const std::vector<std::string> refused = {"http://id.example.com/r",
                                              "http://127.0.0.1.example.com", "http://128.0.0.1",
                                              "http://localhost.example.com", "http://[::2]"};
    test::FakeDesktop bundle;
    const adapters::CurlUrlParser urls;
    for (const std::string key : {"KEYCLOAK_ISSUER", "MCP_SERVER_URL"}) {
        for (const auto* list : {&allowed, &refused}) {
            for (const auto& address : *list) {
                bundle.infoPlist = {{key, address}};
                const auto problem = cleartextAddress(urls, bundle);
                EXPECT_EQ(problem.has_value(), list == &refused) << key << " " << address;
                EXPECT_TRUE(!problem || problem->starts_with(key)) << problem.value_or("");
            }
        }
    }
}

}  // namespace
}  // namespace zandorin
