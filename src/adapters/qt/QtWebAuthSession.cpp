#include "adapters/qt/QtWebAuthSession.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/AppIdentity.h"

namespace zandorin::adapters {

namespace {

constexpr const char* kOpenFailed = "could not open the web browser";

bool schemeChar(char c, bool first) {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return alpha || (!first && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
}

// The scheme of an absolute URL ("scheme:..."), or nothing.
std::optional<std::string_view> schemeOf(std::string_view url) {
    const auto colon = url.find(':');
    if (colon == 0 || colon == std::string_view::npos) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < colon; ++i) {
        if (!schemeChar(url[i], i == 0)) {
            return std::nullopt;
        }
    }
    return url.substr(0, colon);
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

// The part of a session that outlives neither the session object nor its completion.
struct SessionState {
    std::string callbackScheme;
    platform::WebAuthCompletion completion;
    bool finished = false;
};

void finish(SessionState& state, const std::optional<std::string>& url,
            const std::optional<platform::WebAuthError>& error) {
    if (state.finished) {
        return;
    }
    state.finished = true;
    // The completion may destroy the session, and this state with it.
    auto completion = std::move(state.completion);
    if (completion) {
        completion(url, error);
    }
}

}  // namespace

struct WebAuthRegistry {
    WebAuthRegistry(platform::MainQueue& queue, QtWebAuthSessionFactory::Opener open)
        : mainQueue(queue), opener(std::move(open)) {}

    platform::MainQueue& mainQueue;
    QtWebAuthSessionFactory::Opener opener;
    // Started sessions waiting for their callback, oldest first. A destroyed session drops
    // out by itself.
    std::vector<std::weak_ptr<SessionState>> waiting;

    void prune() {
        std::erase_if(waiting, [](const std::weak_ptr<SessionState>& entry) {
            const auto state = entry.lock();
            return !state || state->finished;
        });
    }
};

namespace {

class QtWebAuthSession final : public platform::WebAuthSession {
public:
    QtWebAuthSession(std::weak_ptr<WebAuthRegistry> registry, std::string url,
                     std::string callbackScheme, platform::WebAuthCompletion completion)
        : registry_(std::move(registry)),
          url_(std::move(url)),
          state_(std::make_shared<SessionState>(
              SessionState{std::move(callbackScheme), std::move(completion)})) {}

    // The desktop's browser always shares its own cookies, which is what the sign-in wants:
    // there is nothing to choose here.
    void setPrefersEphemeralWebBrowserSession(bool /*ephemeral*/) override {}

    bool start() override {
        const auto registry = registry_.lock();
        if (started_ || state_->finished || !registry) {
            return false;
        }
        started_ = true;
        if (!registry->opener || !registry->opener(url_)) {
            // Reported later, like every other outcome, so that the caller has returned first.
            registry->mainQueue.post([weak = std::weak_ptr(state_)] {
                if (const auto state = weak.lock()) {
                    finish(*state, std::nullopt, platform::WebAuthError{kOpenFailed});
                }
            });
            return false;
        }
        registry->prune();
        registry->waiting.push_back(state_);
        return true;
    }

private:
    std::weak_ptr<WebAuthRegistry> registry_;
    std::string url_;
    std::shared_ptr<SessionState> state_;
    bool started_ = false;
};

}  // namespace

QtWebAuthSessionFactory::QtWebAuthSessionFactory(platform::MainQueue& mainQueue, Opener opener)
    : registry_(std::make_shared<WebAuthRegistry>(mainQueue, std::move(opener))) {}

QtWebAuthSessionFactory::~QtWebAuthSessionFactory() = default;

std::unique_ptr<platform::WebAuthSession> QtWebAuthSessionFactory::makeSession(
    const std::string& url, const std::string& callbackScheme,
    platform::WebAuthCompletion completion) {
    return std::make_unique<QtWebAuthSession>(registry_, url, callbackScheme,
                                              std::move(completion));
}

bool QtWebAuthSessionFactory::deliver(const std::string& callbackUrl) {
    registry_->prune();
    const auto scheme = schemeOf(callbackUrl);
    auto& waiting = registry_->waiting;
    const auto match = std::find_if(waiting.rbegin(), waiting.rend(), [&](const auto& entry) {
        return scheme && equalIgnoringCase(*scheme, entry.lock()->callbackScheme);
    });
    if (match == waiting.rend()) {
        // Never the URL itself: its query carries the authorization code.
        if (scheme && scheme->size() <= 64) {
            std::fprintf(stderr, "%s: no sign-in is waiting for a %.*s: URL; ignored\n",
                         kExecutableName, static_cast<int>(scheme->size()), scheme->data());
        } else {
            std::fprintf(stderr, "%s: ignored a message that is not a URL\n", kExecutableName);
        }
        return false;
    }
    const auto state = match->lock();
    waiting.erase(std::next(match).base());
    finish(*state, callbackUrl, std::nullopt);
    return true;
}

}  // namespace zandorin::adapters
