#pragma once

#include <functional>
#include <memory>

#include "platform/Keychain.h"

namespace zandorin::adapters {

// Watches the Secret Service on the session bus: a collection that changes (gnome-keyring
// says so when one is unlocked) or a provider that takes the bus name. Create, use and destroy
// on the main thread, with the Qt application alive.
class SecretServiceMonitor final : public platform::KeychainMonitor {
public:
    SecretServiceMonitor();
    ~SecretServiceMonitor() override;

    SecretServiceMonitor(const SecretServiceMonitor&) = delete;
    SecretServiceMonitor& operator=(const SecretServiceMonitor&) = delete;

    void setChangeHandler(std::function<void()> handler) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zandorin::adapters
