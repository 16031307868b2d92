#include "auth/KeychainHelper.h"

#include <utility>
#include <vector>

#include "common/Text.h"

namespace zandorin {

KeychainHelper::KeychainHelper(platform::Keychain& keychain, std::string service)
    : keychain_(keychain), service_(std::move(service)) {}

platform::KeychainQuery KeychainHelper::query(const std::string& key) const {
    return {service_, service_ + "." + key};
}

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
            return {std::move(read.data), false};
        case KeychainStatus::notFound:
            return {};
        case KeychainStatus::locked:
        case KeychainStatus::failed:
            break;
    }
    return {std::nullopt, true};
}

platform::KeychainStatus KeychainHelper::remove(const std::string& key) {
    return keychain_.remove(query(key));
}

bool KeychainHelper::unlock() {
    return keychain_.unlock() == platform::KeychainStatus::success;
}

}  // namespace zandorin
