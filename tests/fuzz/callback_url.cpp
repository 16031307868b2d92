// The callback URL as the sign-in reads it, and query items read back as they were written.
#include "FuzzCheck.h"
#include "adapters/curl/CurlUrlParser.h"
#include "auth/OAuthManager.h"
#include "common/UrlCoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zandorin;
    static const adapters::CurlUrlParser urls;
    const std::string input(fuzz::bytes(data, size));
    OAuthManager::callbackCode(input, urls);
    OAuthManager::callbackCode("zandorin-auth://callback?" + input, urls);

    if (const auto items = url::parseQuery(input)) {
        FUZZ_CHECK(url::parseQuery(url::buildQuery(*items)) == items);
    }
    return 0;
}
