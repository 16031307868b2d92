#include "menu/StatusBarController.h"

#include "auth/JWTHelper.h"
#include "menu/MenuRenderer.h"
#include "service/ServiceChecks.h"

namespace zandorin {

StatusBarController::StatusBarController(platform::Platform& platform, KeychainHelper& keychain,
                                         OAuthManager& oauth)
    : platform_(platform),
      keychain_(keychain),
      oauth_(oauth),
      statusBar(platform.statusBar),
      statusItem(statusBar.makeStatusItem()),
      transport_(std::make_shared<McpTransport>(platform, keychain,
                                                [&oauth] { oauth.refreshAccessToken(); })),
      postToMain_(lifetime_.poster(platform.mainQueue)) {
    if (statusItem->hasButton()) {
        statusItem->setImage(
            {.name = "StatusBarIcon", .isTemplate = true, .width = 18, .height = 18});
    }
    statusItem->setActionHandler([this](platform::MenuAction action) { perform(action); });

    updateStatus();

    // The controller owns its timers, so no firing outlives it.
    healthTimer = platform_.mainQueue.scheduleRepeating(healthInterval, [this] { checkHealth(); });
    checkHealth();
    statsTimer = platform_.mainQueue.scheduleRepeating(statsInterval, [this] { fetchStats(); });
    fetchStats();
}

StatusBarController::~StatusBarController() = default;

void StatusBarController::updateStatus() {
    MenuState state;
    // One keyring read per rendering: each is a D-Bus round trip on the main thread.
    const auto token = keychain_.lookup(keys::accessToken);
    if (token.value) {
        MenuState::SignIn signIn;
        signIn.expired = JWTHelper::isTokenExpired(token.value, platform_.clock);
        signIn.displayName = JWTHelper::displayName(token.value);
        state.signIn = signIn;
    }
    state.keyringUnreadable = token.keyringUnreadable();
    state.mcpServerReachable = mcpServerReachable;
    state.subscriptionActive = subscriptionActive;
    state.subscriptionText = subscriptionText;
    state.stats = stats;
    menu = MenuRenderer::render(state);
    statusItem->setMenu(menu);
}

void StatusBarController::checkHealth() {
    const auto token = keychain_.lookup(keys::accessToken);
    if (token.value) {
        // A trigger that finds a check running is dropped, not queued.
        if (isCheckingHealth) {
            return;
        }
        isCheckingHealth = true;
        platform_.executor.run([self = this, transport = transport_, post = postToMain_] {
            bool answered = false;
            const auto state = service::checkHealth(*transport, [&](bool opened) {
                answered = opened;
                if (opened) {
                    post([self] { self->mcpServerReachable = true; });
                }
            });
            if (!answered) {
                post([self] {
                    self->mcpServerReachable = false;
                    self->subscriptionActive.reset();
                    self->subscriptionText.reset();
                    self->isCheckingHealth = false;
                    self->updateStatus();
                });
                return;
            }
            post([self, state] {
                if (state) {
                    self->subscriptionActive = state->active;
                    self->subscriptionText = state->text;
                } else {
                    self->subscriptionActive.reset();
                    self->subscriptionText.reset();
                }
                self->isCheckingHealth = false;
                self->updateStatus();
            });
        });
        return;
    }
    // Signed out, or nobody knows: either way nothing is said about the server.
    mcpServerReachable.reset();
    subscriptionActive.reset();
    subscriptionText.reset();
    postToMain_([this] { updateStatus(); });
    if (token.keyringUnreadable() && keyringUnreadable_) {
        keyringUnreadable_();
    }
}

void StatusBarController::setKeyringHandlers(std::function<void()> unreadable,
                                             std::function<void()> unlock) {
    keyringUnreadable_ = std::move(unreadable);
    unlockKeyring_ = std::move(unlock);
}

void StatusBarController::fetchStats() {
    auto request = service::knowledgeStatsRequest(platform_.urls, transport_->mcpServerURL());
    if (!request) {
        return;
    }
    platform_.executor.run(
        [self = this, &http = platform_.http, request = std::move(*request), post = postToMain_] {
            if (auto fetched = service::fetchKnowledgeStats(http, request)) {
                post([self, stats = std::move(*fetched)] {
                    self->stats = stats;
                    self->updateStatus();
                });
            }
        });
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

void StatusBarController::subscribe() {
    platform_.executor.run([transport = transport_, &urls = platform_.urls,
                            &log = platform_.systemLog, &alerts = platform_.alerts,
                            &workspace = platform_.workspace, post = postToMain_] {
        const auto reply = transport->mcpCall("tools/call", service::checkoutParams());
        post([outcome = service::decideCheckout(reply, urls, log), &alerts, &workspace] {
            if (outcome.paymentUrl) {
                workspace.open(*outcome.paymentUrl);
            } else {
                alerts.runModal(outcome.alert);
            }
        });
    });
}

void StatusBarController::reconnect() {
    platform_.executor.run([self = this, &oauth = oauth_, post = postToMain_] {
        oauth.refreshAccessToken();
        post([self] { self->checkHealth(); });
    });
}

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
        case platform::MenuAction::unlockKeyring:
            if (unlockKeyring_) {
                unlockKeyring_();
            }
            break;
    }
}

}  // namespace zandorin
