// JWT claims of a stored access token, and of a token around any payload.
#include <nlohmann/json.hpp>

#include "FuzzCheck.h"
#include "auth/JWTHelper.h"
#include "common/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zandorin;
    const auto input = fuzz::bytes(data, size);
    JWTHelper::decode(input);

    const auto claims = JWTHelper::decode("h." + base64::encodeUrlNoPadding(input) + ".s");
    if (claims) {
        const auto payload = nlohmann::json::parse(input, nullptr, false);
        FUZZ_CHECK(payload.is_object());
        const auto email = payload.find("email");
        FUZZ_CHECK(claims->email.has_value() == (email != payload.end() && email->is_string()));
        FUZZ_CHECK(!claims->email || *claims->email == email->get<std::string>());
    }
    return 0;
}
