#pragma once

#include <functional>
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

// Who may read an item. Kept for a backend that can apply it: Secret Service has no
// per-application access control, so it accepts the list and enforces none of it.
struct KeychainAccess {
    std::string label;
    std::vector<TrustedApplication> trusted;
};

enum class KeychainStatus {
    success,
    notFound,
    locked,  // the keyring must be unlocked first; nobody was asked to
    failed,  // no keyring, no answer in time, or an error
};

struct KeychainData {
    KeychainStatus status = KeychainStatus::failed;
    std::string data;  // when status is success
};

// The user's keyring. No call but unlock() ever shows a prompt, so every other call may be
// made from the main thread: a locked keyring answers "locked" at once, and a keyring that
// does not answer costs the caller at most its deadline.
class Keychain {
public:
    virtual ~Keychain() = default;

    // Writes the item, replacing an existing one in place. On failure the old item stays.
    virtual KeychainStatus store(const KeychainQuery& query, const std::string& data,
                                 const std::optional<KeychainAccess>& access) = 0;

    virtual KeychainData copyMatching(const KeychainQuery& query) = 0;

    // Removes every item that matches.
    virtual KeychainStatus remove(const KeychainQuery& query) = 0;

    // Asks the user to unlock the keyring, which shows the keyring's own password prompt, and
    // waits for the answer. Only from a background task, and only for something the user did;
    // a second caller waits for the prompt already open. Success when the keyring is open.
    virtual KeychainStatus unlock() = 0;

    // A trusted-application reference for an executable; no path means this application.
    // Nothing when the path names no executable file.
    virtual std::optional<TrustedApplication> trustedApplication(
        const std::optional<std::string>& path) = 0;
};

// Tells when the keyring may have become readable: a collection was unlocked, or a keyring
// service appeared. The handler runs on the main thread.
class KeychainMonitor {
public:
    virtual ~KeychainMonitor() = default;
    virtual void setChangeHandler(std::function<void()> handler) = 0;
};

}  // namespace zandorin::platform
