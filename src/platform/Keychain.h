#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zandorin::platform {

// A generic-password item is found by service and account.
struct KeychainQuery {
    std::string service;
    std::string account;
};

// An executable that may read an item without a prompt.
struct TrustedApplication {
    std::string path;
};

// Who may read an item. Backends without per-application access control (Secret Service)
// accept it and cannot enforce it.
struct KeychainAccess {
    std::string label;
    std::vector<TrustedApplication> trusted;
};

enum class KeychainStatus { success, notFound, failed };

class Keychain {
public:
    virtual ~Keychain() = default;

    // Writes the item, replacing an existing one in place. On failure the old item stays.
    virtual KeychainStatus store(const KeychainQuery& query, const std::string& data,
                                 const std::optional<KeychainAccess>& access) = 0;

    // The item's data; nothing when there is none, the keyring is locked or unreachable.
    virtual std::optional<std::string> copyMatching(const KeychainQuery& query) = 0;

    // Removes every item that matches.
    virtual KeychainStatus remove(const KeychainQuery& query) = 0;

    // A trusted-application reference for an executable; no path means this application.
    // Nothing when the path names no executable file.
    virtual std::optional<TrustedApplication> trustedApplication(
        const std::optional<std::string>& path) = 0;
};

}  // namespace zandorin::platform
