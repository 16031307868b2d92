#include "adapters/curl/CurlUrlParser.h"

#include <curl/curl.h>

#include <memory>

namespace zandorin::adapters {
namespace {

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

std::optional<std::string> part(CURLU* url, CURLUPart which) {
    char* value = nullptr;
    if (curl_url_get(url, which, &value, 0) != CURLUE_OK || !value) {
        return std::nullopt;
    }
    std::string text(value);
    curl_free(value);
    return text;
}

}  // namespace

std::optional<platform::ParsedUrl> CurlUrlParser::parse(const std::string& text) const {
    const std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    if (!url || text.empty() ||
        curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
            CURLUE_OK) {
        return std::nullopt;
    }
    platform::ParsedUrl parsed;
    parsed.scheme = part(url.get(), CURLUPART_SCHEME).value_or("");
    parsed.host = part(url.get(), CURLUPART_HOST).value_or("");
    parsed.port = part(url.get(), CURLUPART_PORT);
    parsed.path = part(url.get(), CURLUPART_PATH).value_or("");
    parsed.query = part(url.get(), CURLUPART_QUERY);
    parsed.fragment = part(url.get(), CURLUPART_FRAGMENT);
    if (parsed.scheme.empty()) {
        return std::nullopt;
    }
    return parsed;
}

}  // namespace zandorin::adapters
