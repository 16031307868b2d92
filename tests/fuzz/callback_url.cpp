// The callback URL as the sign-in reads it, and query items read back as they were written.
#include "FuzzCheck.h"
#include "adapters/curl/CurlUrlParser.h"
#include "auth/OAuthManager.h"
#include "common/UrlCoding.h"

using namespace zandorin;

FUZZ_TARGET(bytes) {
    static const adapters::CurlUrlParser urls;
    const std::string input(bytes);
    OAuthManager::callbackCode(input, urls);
    OAuthManager::callbackCode("zandorin-auth://callback?" + input, urls);

    if (const auto items = url::parseQuery(input)) {
        FUZZ_CHECK(url::parseQuery(url::buildQuery(*items)) == items);
    }
}
