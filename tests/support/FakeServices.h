#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "support/Events.h"

namespace zandorin::test {

// Runs background tasks only when the test says so, one at a time, so that tasks can be
// interleaved deterministically.
class ManualExecutor final : public platform::BackgroundExecutor {
public:
    void run(std::function<void()> task) override;
    bool runNext();
    void runAll();
    std::size_t pending() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
};

// Answers requests from a script and records them.
class ScriptedHttpClient final : public platform::HttpClient {
public:
    using Handler = std::function<platform::HttpResult(const platform::HttpRequest&)>;

    explicit ScriptedHttpClient(Events& events) : events_(events) {}

    platform::HttpResult send(const platform::HttpRequest& request) override;

    // Answers in order; once the script is used up, the fallback answers.
    void enqueue(platform::HttpResult result);
    void setFallback(Handler handler);
    std::vector<platform::HttpRequest> requests() const;

private:
    Events& events_;
    mutable std::mutex mutex_;
    std::deque<platform::HttpResult> script_;
    Handler fallback_;
    std::vector<platform::HttpRequest> requests_;
};

// A keyring in memory that can be made to refuse, as a locked one does.
class InMemoryKeychain final : public platform::Keychain {
public:
    static constexpr const char* selfPath = "/opt/zandorin/zandorin-auth";

    explicit InMemoryKeychain(Events& events) : events_(events) {}

    platform::KeychainStatus store(const platform::KeychainQuery& query, const std::string& data,
                                   const std::optional<platform::KeychainAccess>& access) override;
    platform::KeychainData copyMatching(const platform::KeychainQuery& query) override;
    platform::KeychainStatus remove(const platform::KeychainQuery& query) override;
    // Opens a locked keyring unless the user is to dismiss the prompt.
    platform::KeychainStatus unlock() override;
    std::optional<platform::TrustedApplication> trustedApplication(
        const std::optional<std::string>& path) override;

    struct Item {
        std::string data;
        std::optional<platform::KeychainAccess> access;
    };
    std::optional<Item> item(const std::string& service, const std::string& account) const;
    std::size_t itemCount() const;

    void setLocked(bool locked);
    bool dismissPrompt = false;
    int unlockPrompts = 0;
    void setExecutables(std::set<std::string> paths);  // paths that exist and are executable

    // Runs before each store, e.g. to interleave another operation with a write; false
    // refuses the write.
    std::function<bool(const platform::KeychainQuery&)> beforeStore;
    // Runs after each read, with the data already taken.
    std::function<void(const platform::KeychainQuery&)> afterRead;

private:
    Events& events_;
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Item> items_;
    bool locked_ = false;
    std::set<std::string> executables_;
};

class FakeKeychainMonitor final : public platform::KeychainMonitor {
public:
    void setChangeHandler(std::function<void()> handler) override { this->handler = handler; }
    std::function<void()> handler;
};

class FakeStatusItem final : public platform::StatusItem {
public:
    FakeStatusItem(Events& events, bool hasButton, bool hasImage)
        : events_(events), hasButton_(hasButton), hasImage_(hasImage) {}

    bool hasButton() const override { return hasButton_; }
    bool setImage(const platform::StatusItemImage& image) override;
    void setMenu(const platform::MenuModel& menu) override;
    void setActionHandler(std::function<void(platform::MenuAction)> handler) override;

    std::optional<platform::StatusItemImage> image;
    std::vector<platform::MenuModel> menus;  // every menu set, in order
    std::function<void(platform::MenuAction)> handler;

private:
    Events& events_;
    bool hasButton_;
    bool hasImage_;
};

class FakeStatusBar final : public platform::StatusBar {
public:
    explicit FakeStatusBar(Events& events) : events_(events) {}
    std::unique_ptr<platform::StatusItem> makeStatusItem() override;

    FakeStatusItem* item = nullptr;  // the last item made, owned by its controller
    bool itemsHaveButton = true;
    bool imageExists = true;

private:
    Events& events_;
};

class FakeAlerts final : public platform::Alerts {
public:
    explicit FakeAlerts(Events& events) : events_(events) {}
    void runModal(const platform::AlertContent& alert) override;
    std::vector<platform::AlertContent> shown;

private:
    Events& events_;
};

class FakeWorkspace final : public platform::Workspace {
public:
    explicit FakeWorkspace(Events& events) : events_(events) {}
    bool open(const std::string& url) override;
    std::vector<std::string> opened;

private:
    Events& events_;
};

class FakeWebAuthSessionFactory final : public platform::WebAuthSessionFactory {
public:
    struct Session {
        std::string url;
        std::string callbackScheme;
        platform::WebAuthCompletion completion;
        bool ephemeral = true;
        bool started = false;
    };

    explicit FakeWebAuthSessionFactory(Events& events) : events_(events) {}
    std::unique_ptr<platform::WebAuthSession> makeSession(
        const std::string& url, const std::string& callbackScheme,
        platform::WebAuthCompletion completion) override;

    std::vector<std::shared_ptr<Session>> sessions;

private:
    Events& events_;
};

class FakeUserNotificationCenter final : public platform::UserNotificationCenter {
public:
    explicit FakeUserNotificationCenter(Events& events) : events_(events) {}
    void requestAuthorization(
        unsigned options,
        std::function<void(bool, const std::optional<std::string>&)> completion) override;
    void add(const platform::NotificationRequest& request) override;
    void setDelegate(platform::UserNotificationDelegate* delegate) override;

    std::vector<unsigned> authorizationRequests;
    std::function<void(bool, const std::optional<std::string>&)> pendingAuthorization;
    std::vector<platform::NotificationRequest> added;
    platform::UserNotificationDelegate* delegate = nullptr;

private:
    Events& events_;
};

class FakeRemoteNotifications final : public platform::RemoteNotifications {
public:
    explicit FakeRemoteNotifications(Events& events) : events_(events) {}
    void setDelegate(platform::RemoteNotificationsDelegate* delegate) override {
        this->delegate = delegate;
    }
    void registerForRemoteNotifications() override;

    int registrations = 0;
    platform::RemoteNotificationsDelegate* delegate = nullptr;

private:
    Events& events_;
};

class FakeSystemLog final : public platform::SystemLog {
public:
    struct Line {
        std::string subsystem;
        std::string category;
        std::string message;
    };
    void write(const std::string& subsystem, const std::string& category,
               const std::string& message) override;
    std::vector<Line> lines() const;

private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

class FakeConsole final : public platform::Console {
public:
    void writeLine(const std::string& line) override;
    std::vector<std::string> lines() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

class FakeApplication final : public platform::Application {
public:
    explicit FakeApplication(Events& events) : events_(events) {}
    void setActivationPolicy(platform::ActivationPolicy policy) override;
    void terminate() override;

    std::optional<platform::ActivationPolicy> policy;
    int terminations = 0;

private:
    Events& events_;
};

// Enough of a URL parser for the core's tests: "scheme:/host[:port]path?query#fragment" with
// one or more slashes, as libcurl reads it, and without spaces; the real parser is tested
// against libcurl.
class SimpleUrlParser final : public platform::UrlParser {
public:
    std::optional<platform::ParsedUrl> parse(const std::string& text) const override;
};

// Random bytes on demand, or a failing generator; the digest is the real one.
class FakeCrypto final : public platform::Crypto {
public:
    std::optional<std::string> randomBytes(std::size_t count) override;
    std::string sha256(std::string_view bytes) override;

    bool failing = false;
    std::optional<std::string> nextBytes;  // handed out once, instead of counting bytes

private:
    unsigned char counter_ = 0;
};

class FakeBundleInfo final : public platform::BundleInfo {
public:
    std::optional<std::string> stringValue(const std::string& key) const override;
    std::map<std::string, std::string> values;
};

}  // namespace zandorin::test
