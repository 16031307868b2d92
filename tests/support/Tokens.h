#pragma once

#include <chrono>
#include <string>

#include "common/Base64.h"

namespace zandorin::test {

// A token shaped like the provider's: header, base64url payload, signature.
inline std::string makeToken(const std::string& payloadJson) {
    return "eyJhbGciOiJSUzI1NiJ9." + base64::encodeUrlNoPadding(payloadJson) + ".c2lnbmF0dXJl";
}

// A token for the e-mail address that expires at the given time.
inline std::string makeToken(const std::string& email, std::chrono::system_clock::time_point exp) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(exp.time_since_epoch()).count();
    return makeToken(R"({"email":")" + email + R"(","exp":)" + std::to_string(seconds) + "}");
}

}  // namespace zandorin::test
