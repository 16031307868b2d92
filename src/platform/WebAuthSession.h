#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zandorin::platform {

struct WebAuthError {
    std::string localizedDescription;
};

// Called once on the main thread: the callback URL, or an error (also when the user gives up).
using WebAuthCompletion = std::function<void(const std::optional<std::string>& callbackUrl,
                                             const std::optional<WebAuthError>& error)>;

// An interactive sign-in page that ends in a redirect to the callback scheme.
class WebAuthSession {
public:
    virtual ~WebAuthSession() = default;
    virtual void setPrefersEphemeralWebBrowserSession(bool ephemeral) = 0;
    virtual bool start() = 0;
};

class WebAuthSessionFactory {
public:
    virtual ~WebAuthSessionFactory() = default;
    virtual std::unique_ptr<WebAuthSession> makeSession(const std::string& url,
                                                        const std::string& callbackScheme,
                                                        WebAuthCompletion completion) = 0;
};

}  // namespace zandorin::platform
