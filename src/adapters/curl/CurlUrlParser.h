#pragma once

#include "platform/Url.h"

namespace zandorin::adapters {

// libcurl's URL API: absolute URLs of any scheme, no guessing, no spaces.
class CurlUrlParser final : public platform::UrlParser {
public:
    std::optional<platform::ParsedUrl> parse(const std::string& text) const override;
};

}  // namespace zandorin::adapters
