#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/MainQueue.h"
#include "platform/WebAuthSession.h"

namespace zandorin::adapters {

struct WebAuthRegistry;

// Sign-in pages open in the user's default browser, whose cookies the sign-in needs. The
// provider's final redirect to the callback scheme comes back through the scheme's desktop
// handler, another process of ours, which passes the URL to deliver(). Main thread only.
class QtWebAuthSessionFactory final : public platform::WebAuthSessionFactory {
public:
    // Opens a URL in the browser; false when nothing could be started.
    using Opener = std::function<bool(const std::string& url)>;

    QtWebAuthSessionFactory(platform::MainQueue& mainQueue, Opener opener);
    ~QtWebAuthSessionFactory() override;

    QtWebAuthSessionFactory(const QtWebAuthSessionFactory&) = delete;
    QtWebAuthSessionFactory& operator=(const QtWebAuthSessionFactory&) = delete;

    std::unique_ptr<platform::WebAuthSession> makeSession(
        const std::string& url, const std::string& callbackScheme,
        platform::WebAuthCompletion completion) override;

    // Completes the most recently started session still waiting for a URL of this scheme
    // (compared without case); whether there was one. Anything else is dropped.
    bool deliver(const std::string& callbackUrl);

private:
    std::shared_ptr<WebAuthRegistry> registry_;  // sessions may outlive the factory
};

}  // namespace zandorin::adapters
