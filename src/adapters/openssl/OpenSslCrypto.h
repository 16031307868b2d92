#pragma once

#include "platform/Crypto.h"

namespace zandorin::adapters {

class OpenSslCrypto final : public platform::Crypto {
public:
    std::optional<std::string> randomBytes(std::size_t count) override;
    std::string sha256(std::string_view bytes) override;
};

}  // namespace zandorin::adapters
