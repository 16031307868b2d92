// What the menu reads from the service: tool text, subscription, statistics, checkout.
#include "FuzzCheck.h"
#include "adapters/curl/CurlUrlParser.h"
#include "service/McpTransport.h"
#include "service/ServiceReplies.h"

using namespace zandorin;

FUZZ_TARGET(input) {
    static const adapters::CurlUrlParser urls;
    static fuzz::NoLog log;
    service::parseKnowledgeStats(input);

    const auto reply = McpTransport::parseResponse(input);
    const auto text = service::firstContentText(reply);
    if (const auto state = service::evaluateSubscription(reply)) {
        FUZZ_CHECK(text && state->text == *text);
    }
    const auto outcome = service::decideCheckout(reply, urls, log);
    if (outcome.paymentUrl) {
        FUZZ_CHECK(text && text->find(*outcome.paymentUrl) != std::string::npos);
        const auto parsed = urls.parse(*outcome.paymentUrl);
        FUZZ_CHECK(parsed && (parsed->scheme == "http" || parsed->scheme == "https"));
    }
}
