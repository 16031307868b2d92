#include "support/FakeServices.h"

#include <regex>
#include <stdexcept>

#include "adapters/openssl/OpenSslCrypto.h"

namespace zandorin::test {

void ManualExecutor::run(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
}

bool ManualExecutor::runNext() {
    std::function<void()> task;
    {
        std::lock_guard lock(mutex_);
        if (tasks_.empty()) {
            return false;
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    task();
    return true;
}

void ManualExecutor::runAll() {
    for (int i = 0; i < 10000; ++i) {
        if (!runNext()) {
            return;
        }
    }
    throw std::runtime_error("background tasks never drained");
}

std::size_t ManualExecutor::pending() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

platform::HttpResult ScriptedHttpClient::send(const platform::HttpRequest& request) {
    events_.add("http.send " + request.method + " " + request.url);
    Handler fallback;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        if (!script_.empty()) {
            auto result = std::move(script_.front());
            script_.pop_front();
            return result;
        }
        fallback = fallback_;
    }
    if (fallback) {
        return fallback(request);
    }
    return platform::TransferError{"no scripted answer"};
}

void ScriptedHttpClient::enqueue(platform::HttpResult result) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(result));
}

void ScriptedHttpClient::setFallback(Handler handler) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(handler);
}

std::vector<platform::HttpRequest> ScriptedHttpClient::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

platform::KeychainStatus InMemoryKeychain::store(
    const platform::KeychainQuery& query, const std::string& data,
    const std::optional<platform::KeychainAccess>& access) {
    events_.add("keychain.store " + query.account);
    if (beforeStore && !beforeStore(query)) {
        return platform::KeychainStatus::failed;
    }
    std::lock_guard lock(mutex_);
    if (locked_) {
        return platform::KeychainStatus::locked;
    }
    items_[{query.service, query.account}] = Item{data, access};
    return platform::KeychainStatus::success;
}

platform::KeychainData InMemoryKeychain::copyMatching(const platform::KeychainQuery& query) {
    using platform::KeychainStatus;
    events_.add("keychain.copyMatching " + query.account);
    platform::KeychainData read{KeychainStatus::notFound, {}};
    {
        std::lock_guard lock(mutex_);
        const auto it = items_.find({query.service, query.account});
        if (locked_) {
            read.status = KeychainStatus::locked;
        } else if (it != items_.end()) {
            read = {KeychainStatus::success, it->second.data};
        }
    }
    if (afterRead) {
        afterRead(query);
    }
    return read;
}

platform::KeychainStatus InMemoryKeychain::unlock() {
    events_.add("keychain.unlock");
    std::lock_guard lock(mutex_);
    ++unlockPrompts;
    if (locked_ && !dismissPrompt) {
        locked_ = false;
    }
    return locked_ ? platform::KeychainStatus::locked : platform::KeychainStatus::success;
}

platform::KeychainStatus InMemoryKeychain::remove(const platform::KeychainQuery& query) {
    events_.add("keychain.remove " + query.account);
    std::lock_guard lock(mutex_);
    if (locked_) {
        return platform::KeychainStatus::locked;
    }
    return items_.erase({query.service, query.account}) > 0 ? platform::KeychainStatus::success
                                                            : platform::KeychainStatus::notFound;
}

std::optional<platform::TrustedApplication> InMemoryKeychain::trustedApplication(
    const std::optional<std::string>& path) {
    if (!path) {
        return platform::TrustedApplication{selfPath};
    }
    std::lock_guard lock(mutex_);
    if (executables_.count(*path) == 0) {
        return std::nullopt;
    }
    return platform::TrustedApplication{*path};
}

std::optional<InMemoryKeychain::Item> InMemoryKeychain::item(const std::string& service,
                                                             const std::string& account) const {
    std::lock_guard lock(mutex_);
    const auto it = items_.find({service, account});
    if (it == items_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::size_t InMemoryKeychain::itemCount() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

void InMemoryKeychain::setLocked(bool locked) {
    std::lock_guard lock(mutex_);
    locked_ = locked;
}

void InMemoryKeychain::setExecutables(std::set<std::string> paths) {
    std::lock_guard lock(mutex_);
    executables_ = std::move(paths);
}

bool FakeStatusItem::setImage(const platform::StatusItemImage& image) {
    events_.add("statusItem.setImage " + image.name);
    if (!hasImage_) {
        return false;
    }
    this->image = image;
    return true;
}

void FakeStatusItem::setMenu(const platform::MenuModel& menu) {
    events_.add("statusItem.setMenu " + std::to_string(menu.items.size()));
    menus.push_back(menu);
}

void FakeStatusItem::setActionHandler(std::function<void(platform::MenuAction)> handler) {
    this->handler = std::move(handler);
}

std::unique_ptr<platform::StatusItem> FakeStatusBar::makeStatusItem() {
    events_.add("statusBar.makeStatusItem");
    auto made = std::make_unique<FakeStatusItem>(events_, itemsHaveButton, imageExists);
    item = made.get();
    return made;
}

void FakeAlerts::runModal(const platform::AlertContent& alert) {
    events_.add("alerts.runModal " + alert.messageText);
    shown.push_back(alert);
}

bool FakeWorkspace::open(const std::string& url) {
    events_.add("workspace.open " + url);
    opened.push_back(url);
    return true;
}

namespace {
class FakeWebAuthSession final : public platform::WebAuthSession {
public:
    FakeWebAuthSession(Events& events, std::shared_ptr<FakeWebAuthSessionFactory::Session> state)
        : events_(events), state_(std::move(state)) {}
    void setPrefersEphemeralWebBrowserSession(bool ephemeral) override {
        state_->ephemeral = ephemeral;
    }
    bool start() override {
        events_.add("webAuth.start " + state_->url);
        state_->started = true;
        return true;
    }

private:
    Events& events_;
    std::shared_ptr<FakeWebAuthSessionFactory::Session> state_;
};
}  // namespace

std::unique_ptr<platform::WebAuthSession> FakeWebAuthSessionFactory::makeSession(
    const std::string& url, const std::string& callbackScheme,
    platform::WebAuthCompletion completion) {
    auto state = std::make_shared<Session>();
    state->url = url;
    state->callbackScheme = callbackScheme;
    state->completion = std::move(completion);
    sessions.push_back(state);
    return std::make_unique<FakeWebAuthSession>(events_, state);
}

void FakeUserNotificationCenter::requestAuthorization(
    unsigned options, std::function<void(bool, const std::optional<std::string>&)> completion) {
    events_.add("userNotifications.requestAuthorization " + std::to_string(options));
    authorizationRequests.push_back(options);
    pendingAuthorization = std::move(completion);
}

void FakeUserNotificationCenter::add(const platform::NotificationRequest& request) {
    events_.add("userNotifications.add " + request.identifier);
    added.push_back(request);
}

void FakeUserNotificationCenter::setDelegate(platform::UserNotificationDelegate* delegate) {
    events_.add("userNotifications.setDelegate");
    this->delegate = delegate;
}

void FakeRemoteNotifications::registerForRemoteNotifications() {
    events_.add("remoteNotifications.register");
    ++registrations;
}

void FakeSystemLog::write(const std::string& subsystem, const std::string& category,
                          const std::string& message) {
    std::lock_guard lock(mutex_);
    lines_.push_back({subsystem, category, message});
}

std::vector<FakeSystemLog::Line> FakeSystemLog::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

void FakeConsole::writeLine(const std::string& line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
}

void FakeConsole::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

std::vector<std::string> FakeConsole::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

void FakeApplication::setActivationPolicy(platform::ActivationPolicy policy) {
    events_.add("application.setActivationPolicy " + std::to_string(static_cast<int>(policy)));
    this->policy = policy;
}

void FakeApplication::terminate() {
    events_.add("application.terminate");
    ++terminations;
}

std::optional<platform::ParsedUrl> SimpleUrlParser::parse(const std::string& text) const {
    static const std::regex kUrl(
        R"(^([A-Za-z][A-Za-z0-9+.-]*):/+([^/?#:]+)(?::([0-9]+))?([^?#]*)(?:\?([^#]*))?(?:#(.*))?$)");
    std::smatch match;
    if (text.find_first_of(" \t\r\n") != std::string::npos ||
        !std::regex_match(text, match, kUrl)) {
        return std::nullopt;
    }
    platform::ParsedUrl url;
    url.scheme = match[1];
    url.host = match[2];
    if (match[3].matched) {
        url.port = match[3];
    }
    url.path = match[4];
    if (match[5].matched) {
        url.query = match[5];
    }
    if (match[6].matched) {
        url.fragment = match[6];
    }
    return url;
}

std::optional<std::string> FakeCrypto::randomBytes(std::size_t count) {
    if (failing) {
        return std::nullopt;
    }
    if (nextBytes) {
        auto bytes = std::move(*nextBytes);
        nextBytes.reset();
        return bytes;
    }
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(counter_++);
    }
    return bytes;
}

std::string FakeCrypto::sha256(std::string_view bytes) {
    return adapters::OpenSslCrypto().sha256(bytes);
}

std::optional<std::string> FakeBundleInfo::stringValue(const std::string& key) const {
    const auto it = values.find(key);
    if (it == values.end()) {
        return std::nullopt;
    }
    return it->second;
}

}  // namespace zandorin::test
