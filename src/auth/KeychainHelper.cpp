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

bool KeychainHelper::save(const std::string& value, const std::string& key) {
    const auto itemQuery = query(key);
    std::optional<platform::KeychainAccess> access;
    if (key == "access_token" || key == "refresh_token") {
        access = makeAccess(itemQuery.account);
    }
    return keychain_.store(itemQuery, value, access) == platform::KeychainStatus::success;
}

std::optional<std::string> KeychainHelper::load(const std::string& key) const {
    auto data = keychain_.copyMatching(query(key));
    if (!data || !text::isValidUtf8(*data)) {
        return std::nullopt;
    }
    return data;
}

void KeychainHelper::remove(const std::string& key) {
    keychain_.remove(query(key));
}

}  // namespace zandorin
