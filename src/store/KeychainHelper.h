#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "platform/Keychain.h"
#include "store/SignInEvents.h"

namespace zandorin {

// The keys of the application's items, spelled once.
namespace keys {
inline constexpr const char* accessToken = "access_token";
inline constexpr const char* refreshToken = "refresh_token";
inline constexpr const char* pushToken = "push_token";
}  // namespace keys

// The application's secrets in the user's keyring: one generic-password item per key, found by
// service and account (service + "." + key) and holding the value's UTF-8 bytes. The local
// proxy finds the two OAuth items the same way. Sign-in, push and service read and write the
// tokens here, and hear of sign-ins and sign-outs through its events.
class KeychainHelper {
public:
    static constexpr const char* proxyPath = "/usr/local/bin/zandorin-proxy";

    KeychainHelper(platform::Keychain& keychain, std::string service);

    // What a read found: an item that is not UTF-8 counts as none.
    enum class ReadStatus { found, notFound, locked, failed };
    struct Lookup {
        ReadStatus status = ReadStatus::notFound;
        std::optional<std::string> value;  // when found

        // Locked, absent or not answering, as against holding no such item.
        bool keyringUnreadable() const {
            return status == ReadStatus::locked || status == ReadStatus::failed;
        }
    };

    // Replaces the item for the key. The old value stays when the new one cannot be written,
    // so a failure never leaves the key empty.
    platform::KeychainStatus save(const std::string& value, const std::string& key);

    // Nothing when there is no item, the keyring refuses, or the data is not UTF-8.
    std::optional<std::string> load(const std::string& key) const { return lookup(key).value; }
    Lookup lookup(const std::string& key) const;

    // While a sign-out has not yet removed both OAuth items, reads of them find nothing, so that
    // no part of the application uses a sign-in the user ended. Any thread.
    void withholdTokens(bool withhold) { withheld_.store(withhold); }
    bool tokensWithheld() const { return withheld_.load(); }
    // What a read would find were nothing withheld: for the sign-out that withholds it.
    std::optional<std::string> loadWithheld(const std::string& key) const {
        return read(key).value;
    }

    // `delete` in the keychain's own vocabulary; harmless when there is no item.
    platform::KeychainStatus remove(const std::string& key);

    // Shows the keyring's unlock prompt and waits for it; background tasks only. True when
    // the keyring is open afterwards.
    bool unlock();

    SignInEvents& events() { return events_; }

private:
    std::optional<platform::KeychainAccess> makeAccess(const std::string& label);
    Lookup read(const std::string& key) const;
    platform::KeychainQuery query(const std::string& key) const;

    platform::Keychain& keychain_;
    const std::string service_;
    std::atomic<bool> withheld_{false};
    SignInEvents events_;
};

}  // namespace zandorin
