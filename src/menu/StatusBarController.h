#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "auth/OAuthManager.h"
#include "common/MainPoster.h"
#include "platform/Platform.h"
#include "service/KnowledgeStats.h"
#include "service/McpTransport.h"
#include "store/KeychainHelper.h"

namespace zandorin {

// The status item, its menu and the state the menu shows. Lives on the main thread.
class StatusBarController {
public:
    static constexpr auto healthInterval = std::chrono::seconds(60);
    static constexpr auto statsInterval = std::chrono::seconds(600);

    // Builds the status item, renders the menu and starts the checks and their timers.
    StatusBarController(platform::Platform& platform, KeychainHelper& keychain,
                        OAuthManager& oauth);
    ~StatusBarController();

    StatusBarController(const StatusBarController&) = delete;
    StatusBarController& operator=(const StatusBarController&) = delete;

    // Rebuilds the whole menu from the current state.
    void updateStatus();
    void checkHealth();
    void fetchStats();
    // After a sign-in is announced and after a sign-out.
    void onAuthChanged();

    // What the keyring's owner does when a read finds it locked or not answering, and when the
    // user asks to unlock it from the menu. Main thread.
    void setKeyringHandlers(std::function<void()> unreadable, std::function<void()> unlock);

    // Menu actions.
    void login();
    void logout();
    void subscribe();
    void reconnect();
    void quit();
    void perform(platform::MenuAction action);

private:
    friend struct StatusBarControllerProbe;  // tests read the state directly

    // Fields the behaviour names (statusItem, mcpServerReachable...) keep those names; plumbing
    // of our own ends in "_".

    platform::Platform& platform_;
    KeychainHelper& keychain_;
    OAuthManager& oauth_;

    platform::StatusBar& statusBar;
    std::unique_ptr<platform::StatusItem> statusItem;
    platform::MenuModel menu;
    std::unique_ptr<platform::Timer> healthTimer;
    std::optional<bool> mcpServerReachable;
    std::optional<bool> subscriptionActive;
    std::optional<std::string> subscriptionText;
    bool isCheckingHealth = false;
    std::optional<KnowledgeStats> stats;
    std::unique_ptr<platform::Timer> statsTimer;

    std::function<void()> keyringUnreadable_;
    std::function<void()> unlockKeyring_;

    // Shared with the tasks in flight, which may outlive a check's trigger.
    std::shared_ptr<McpTransport> transport_;

    // Tasks hold a copy instead of touching the controller.
    Lifetime lifetime_;
    MainPoster postToMain_;
};

}  // namespace zandorin
