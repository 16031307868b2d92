// JWT claims of a stored access token, and of a token around any payload.
#include <nlohmann/json.hpp>

#include "FuzzCheck.h"
#include "auth/JWTHelper.h"
#include "common/Base64.h"

using namespace zandorin;

FUZZ_TARGET(input) {
    JWTHelper::decode(input);

    const auto claims = JWTHelper::decode("h." + base64::encodeUrlNoPadding(input) + ".s");
    if (claims) {
        const auto payload = nlohmann::json::parse(input, nullptr, false);
        FUZZ_CHECK(payload.is_object());
        const auto email = payload.find("email");
        FUZZ_CHECK(claims->email.has_value() == (email != payload.end() && email->is_string()));
        FUZZ_CHECK(!claims->email || *claims->email == email->get<std::string>());
    }
}
