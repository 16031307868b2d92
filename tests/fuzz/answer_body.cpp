// The JSON-RPC reply in an answer body, plain JSON or an event stream.
#include "FuzzCheck.h"
#include "service/McpTransport.h"

using namespace zandorin;

FUZZ_TARGET(input) {
    const auto reply = McpTransport::parseResponse(input);
    if (!reply) {
        return;
    }
    FUZZ_CHECK(reply->is_object());
    const McpTransport::Json copy = *reply;  // callers keep and copy it
    FUZZ_CHECK(McpTransport::Json::parse(copy.dump()) == *reply);
    // One line of plain JSON is the reply itself.
    if (input.find_first_of("\r\n") == std::string_view::npos) {
        const auto whole = McpTransport::Json::parse(input, nullptr, false);
        FUZZ_CHECK(!whole.is_object() || whole == *reply);
    }
}
