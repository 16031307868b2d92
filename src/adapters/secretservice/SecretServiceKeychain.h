#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/Keychain.h"

namespace zandorin::adapters {

// The keychain port over the freedesktop Secret Service (libsecret): one item per query, with
// the attributes "service" and "account" and the account name as its label, in the default
// collection. Secret Service has no per-application access control, so the access list is
// accepted and not applied.
//
// Callable from any thread. Every call runs on a thread of the adapter's own and the caller
// waits for it at most until its deadline: a call that outlives it is abandoned (reported as
// failed) and its late answer dropped. Only unlock() may bring up the keyring's prompt, on a
// thread of its own, one prompt at a time.
class SecretServiceKeychain final : public platform::Keychain {
public:
    struct Options {
        // Calls made on the main thread give up after this long, so a hung keyring provider
        // cannot freeze the menu.
        std::chrono::milliseconds mainThreadDeadline{1500};
        // Calls from background tasks.
        std::chrono::milliseconds backgroundDeadline{25000};
        // How long unlock() waits for the user at the prompt; the prompt itself stays open.
        std::chrono::milliseconds unlockDeadline{std::chrono::minutes(2)};
    };

    explicit SecretServiceKeychain(std::function<bool()> isMainThread);
    SecretServiceKeychain(std::function<bool()> isMainThread, Options options);
    ~SecretServiceKeychain() override;

    SecretServiceKeychain(const SecretServiceKeychain&) = delete;
    SecretServiceKeychain& operator=(const SecretServiceKeychain&) = delete;

    platform::KeychainStatus store(const platform::KeychainQuery& query, const std::string& data,
                                   const std::optional<platform::KeychainAccess>& access) override;
    platform::KeychainData copyMatching(const platform::KeychainQuery& query) override;
    platform::KeychainStatus remove(const platform::KeychainQuery& query) override;
    platform::KeychainStatus unlock() override;

    // On the way out: calls waiting now, or made later, give up `grace` from now at the latest,
    // so that a hung keyring holds the quit no longer; a healthy one answers well within it.
    void stop(std::chrono::milliseconds grace);
    std::optional<platform::TrustedApplication> trustedApplication(
        const std::optional<std::string>& path) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zandorin::adapters
