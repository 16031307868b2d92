// The line a second process hands the running one over the instance socket.
#include "FuzzCheck.h"
#include "adapters/qt/QtInstanceChannel.h"
#include "common/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zandorin;
    using Status = adapters::InstanceMessage::Status;
    const auto input = fuzz::bytes(data, size);
    const auto message = adapters::readInstanceMessage(input);
    const std::size_t newline = input.find('\n');
    FUZZ_CHECK((message.status == Status::complete) == (newline != std::string_view::npos));
    FUZZ_CHECK(
        (message.status == Status::tooLong) ==
        (newline == std::string_view::npos && size >= adapters::QtInstanceChannel::kMaxMessage));
    if (!message.url.empty()) {
        FUZZ_CHECK(message.url == input.substr(0, newline));
        FUZZ_CHECK(text::isValidUtf8(message.url));
    } else if (message.status == Status::complete) {
        FUZZ_CHECK(newline == 0 || !text::isValidUtf8(input.substr(0, newline)));
    }
    return 0;
}
