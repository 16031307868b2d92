// A pushed message: the notification it asks for, copied as the notification adapter does, and
// the link its click would open.
#include "FuzzCheck.h"
#include "adapters/curl/CurlUrlParser.h"
#include "push/PushMessage.h"
#include "service/LinkDetector.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zandorin;
    static const adapters::CurlUrlParser urls;
    static fuzz::NoLog log;
    const auto request = notificationFromPush(std::string(fuzz::bytes(data, size)), "m");
    if (!request) {
        return 0;
    }
    FUZZ_CHECK(size <= kMaxPushPayloadBytes);
    const platform::NotificationRequest copy = *request;
    FUZZ_CHECK(copy.content.userInfo == request->content.userInfo);
    FUZZ_CHECK(!copy.content.title.empty() || !copy.content.body.empty());
    const auto url = copy.content.userInfo.find("url");
    if (url != copy.content.userInfo.end() && url->is_string()) {
        isWebUrl(url->get<std::string>(), urls, log, "Push");
    }
    return 0;
}
