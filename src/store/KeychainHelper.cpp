#include "store/KeychainHelper.h"

#include <utility>
#include <vector>

#include "common/Text.h"

namespace zandorin {

KeychainHelper::KeychainHelper(platform::Keychain& keychain, std::string service)
    : keychain_(keychain), service_(std::move(service)) {}

platform::KeychainQuery KeychainHelper::query(const std::string& key) const {
    return {service_, service_ + "." + key};
}

// The trusted-application list is kept for a backend that can apply it; libsecret cannot, and
// any process of the user reads the items once the keyring is unlocked.
std::optional<platform::KeychainAccess> KeychainHelper::makeAccess(const std::string& label) {
    std::vector<platform::TrustedApplication> trusted;
    if (auto self = keychain_.trustedApplication(std::nullopt)) {
        trusted.push_back(std::move(*self));
    }
    if (auto proxy = keychain_.trustedApplication(std::string(proxyPath))) {
        trusted.push_back(std::move(*proxy));
    }
    return platform::KeychainAccess{label, std::move(trusted)};
}

platform::KeychainStatus KeychainHelper::save(const std::string& value, const std::string& key) {
    const auto itemQuery = query(key);
    std::optional<platform::KeychainAccess> access;
    if (key == keys::accessToken || key == keys::refreshToken) {
        access = makeAccess(itemQuery.account);
    }
    return keychain_.store(itemQuery, value, access);
}

KeychainHelper::Lookup KeychainHelper::lookup(const std::string& key) const {
    if (tokensWithheld() && (key == keys::accessToken || key == keys::refreshToken)) {
        return {};
    }
    return read(key);
}

KeychainHelper::Lookup KeychainHelper::read(const std::string& key) const {
    using platform::KeychainStatus;
    auto read = keychain_.copyMatching(query(key));
    switch (read.status) {
        case KeychainStatus::success:
            if (!text::isValidUtf8(read.data)) {
                return {};
            }
            return {ReadStatus::found, std::move(read.data)};
        case KeychainStatus::notFound:
            return {};
        case KeychainStatus::locked:
            return {ReadStatus::locked, std::nullopt};
        case KeychainStatus::failed:
            break;
    }
    return {ReadStatus::failed, std::nullopt};
}

platform::KeychainStatus KeychainHelper::remove(const std::string& key) {
    return keychain_.remove(query(key));
}

bool KeychainHelper::unlock() {
    return keychain_.unlock() == platform::KeychainStatus::success;
}

}  // namespace zandorin
