#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zandorin::platform {

class Crypto {
public:
    virtual ~Crypto() = default;

    // Bytes from the system's secure random generator; nothing when it cannot deliver them.
    virtual std::optional<std::string> randomBytes(std::size_t count) = 0;

    // The 32-byte SHA-256 digest.
    virtual std::string sha256(std::string_view bytes) = 0;
};

}  // namespace zandorin::platform
