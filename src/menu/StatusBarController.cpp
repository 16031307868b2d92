#include "menu/StatusBarController.h"

#include "auth/JWTHelper.h"
#include "menu/MenuRenderer.h"

namespace zandorin {

StatusBarController::StatusBarController(platform::Platform& platform, KeychainHelper& keychain,
                                         OAuthManager& oauth)
    : platform_(platform),
      keychain_(keychain),
      oauth_(oauth),
      statusBar(platform.statusBar),
      statusItem(statusBar.makeStatusItem()) {
    if (statusItem->hasButton()) {
        statusItem->setImage(
            {.name = "StatusBarIcon", .isTemplate = true, .width = 18, .height = 18});
    }
    statusItem->setMenu(menu);
    statusItem->setActionHandler([this](platform::MenuAction action) { perform(action); });

    updateStatus();

    authObserver_ = platform_.notificationCenter.addObserver(OAuthManager::authStateChanged,
                                                             [this] { onAuthChanged(); });

    // The controller owns its timers, so no firing outlives it.
    healthTimer = platform_.mainQueue.scheduleRepeating(healthInterval, [this] { checkHealth(); });
    checkHealth();
    statsTimer = platform_.mainQueue.scheduleRepeating(statsInterval, [this] { fetchStats(); });
    fetchStats();
}

StatusBarController::~StatusBarController() {
    platform_.notificationCenter.removeObserver(authObserver_);
}

void StatusBarController::updateStatus() {
    MenuState state;
    // One keyring read per rendering: each is a D-Bus round trip on the main thread.
    if (const auto token = keychain_.load("access_token")) {
        MenuState::SignIn signIn;
        signIn.expired = JWTHelper::isTokenExpired(token, platform_.clock);
        signIn.displayName = JWTHelper::displayName(token);
        state.signIn = signIn;
    }
    state.mcpServerReachable = mcpServerReachable;
    state.subscriptionActive = subscriptionActive;
    state.subscriptionText = subscriptionText;
    state.stats = stats;
    menu = MenuRenderer::render(state);
    statusItem->setMenu(menu);
}

void StatusBarController::checkHealth() {
    const bool signedIn = keychain_.load("access_token").has_value();
    if (signedIn) {
        // The check against the service arrives with the service client.
        return;
    }
    mcpServerReachable.reset();
    subscriptionActive.reset();
    subscriptionText.reset();
    onMain([this] { updateStatus(); });
}

void StatusBarController::onMain(std::function<void()> block) {
    platform_.mainQueue.post([alive = std::weak_ptr<const bool>(alive_), block = std::move(block)] {
        if (alive.lock()) {
            block();
        }
    });
}

void StatusBarController::fetchStats() {
    // The statistics fetch arrives with the service client.
}

void StatusBarController::onAuthChanged() {
    updateStatus();
    checkHealth();
}

void StatusBarController::login() {
    oauth_.login();
}

void StatusBarController::logout() {
    oauth_.logout();
    mcpServerReachable.reset();
    subscriptionActive.reset();
    subscriptionText.reset();
    updateStatus();
}

void StatusBarController::subscribe() {}

void StatusBarController::reconnect() {}

void StatusBarController::quit() {
    platform_.application.terminate();
}

void StatusBarController::perform(platform::MenuAction action) {
    switch (action) {
        case platform::MenuAction::login:
            login();
            break;
        case platform::MenuAction::logout:
            logout();
            break;
        case platform::MenuAction::subscribe:
            subscribe();
            break;
        case platform::MenuAction::reconnect:
            reconnect();
            break;
        case platform::MenuAction::quit:
            quit();
            break;
    }
}

}  // namespace zandorin
