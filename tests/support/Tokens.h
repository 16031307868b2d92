#pragma once

#include <string>

#include "common/Base64.h"

namespace zandorin::test {

// A token shaped like the provider's: header, base64url payload, signature.
inline std::string makeToken(const std::string& payloadJson) {
    return "eyJhbGciOiJSUzI1NiJ9." + base64::encodeUrlNoPadding(payloadJson) + ".c2lnbmF0dXJl";
}

}  // namespace zandorin::test
