#include "adapters/openssl/OpenSslCrypto.h"

#include <openssl/rand.h>
#include <openssl/sha.h>

#include <climits>

namespace zandorin::adapters {

std::optional<std::string> OpenSslCrypto::randomBytes(std::size_t count) {
    if (count > static_cast<std::size_t>(INT_MAX)) {
        return std::nullopt;
    }
    std::string bytes(count, '\0');
    // RAND_bytes draws from a CSPRNG seeded by the kernel; it fails rather than return
    // predictable bytes.
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
        return std::nullopt;
    }
    return bytes;
}

std::string OpenSslCrypto::sha256(std::string_view bytes) {
    std::string digest(SHA256_DIGEST_LENGTH, '\0');
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
           reinterpret_cast<unsigned char*>(digest.data()));
    return digest;
}

}  // namespace zandorin::adapters
