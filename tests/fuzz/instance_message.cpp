// The line a second process hands the running one over the instance socket.
#include "FuzzCheck.h"
#include "adapters/qt/QtInstanceChannel.h"
#include "common/Text.h"

using namespace zandorin;

FUZZ_TARGET(input) {
    using Kind = adapters::InstanceRequest::Kind;
    const auto request = adapters::parseInstanceRequest(input);
    const std::size_t newline = input.find('\n');
    if (newline == std::string_view::npos) {
        FUZZ_CHECK(request.kind == (input.size() >= adapters::QtInstanceChannel::kMaxMessage
                                        ? Kind::oversized
                                        : Kind::incomplete));
        return;
    }
    const auto line = input.substr(0, newline);
    if (line == adapters::QtInstanceChannel::kQuitRequest) {
        FUZZ_CHECK(request.kind == Kind::quit);
    } else if (!line.empty() && text::isValidUtf8(line)) {
        FUZZ_CHECK(request.kind == Kind::url && request.url == line);
    } else {
        FUZZ_CHECK(request.kind == Kind::nothing && request.url.empty());
    }
}
