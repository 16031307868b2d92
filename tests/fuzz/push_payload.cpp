// A pushed message: the notification it asks for, copied as the notification adapter does, and
// the link its click would open.
#include "FuzzCheck.h"
#include "adapters/curl/CurlUrlParser.h"
#include "push/PushMessage.h"
#include "service/LinkDetector.h"

using namespace zandorin;

FUZZ_TARGET(input) {
    static const adapters::CurlUrlParser urls;
    static fuzz::NoLog log;
    const auto request = notificationFromPush(std::string(input), "m");
    if (!request) {
        return;
    }
    FUZZ_CHECK(input.size() <= kMaxPushPayloadBytes);
    const platform::NotificationRequest copy = *request;
    FUZZ_CHECK(copy.content.userInfo == request->content.userInfo);
    FUZZ_CHECK(!copy.content.title.empty() || !copy.content.body.empty());
    const auto url = copy.content.userInfo.find("url");
    if (url != copy.content.userInfo.end() && url->is_string()) {
        isWebUrl(url->get<std::string>(), urls, log, "Push");
    }
}
