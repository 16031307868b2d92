#include "support/Fakes.h"

#include <algorithm>
#include <stdexcept>

#include "adapters/openssl/OpenSslCrypto.h"
#include "common/Base64.h"

namespace zandorin::test {

using platform::KeychainData;
using platform::KeychainStatus;

struct FakeMainQueue::TimerState {
    std::chrono::milliseconds interval;
    std::chrono::system_clock::time_point due;
    std::function<void()> action;
    bool valid = true;
};

namespace {
struct TimerHandle final : platform::Timer {
    explicit TimerHandle(std::shared_ptr<FakeMainQueue::TimerState> s) : state(std::move(s)) {}
    ~TimerHandle() override { invalidate(); }
    void invalidate() override { state->valid = false; }
    std::shared_ptr<FakeMainQueue::TimerState> state;
};
}  // namespace

std::unique_ptr<platform::Timer> FakeMainQueue::scheduleRepeating(
    std::chrono::milliseconds interval, std::function<void()> action) {
    if (!isMainThread()) {
        throw std::logic_error("timer scheduled off the main thread");
    }
    timers_.push_back(std::make_shared<TimerState>(TimerState{interval, now_ + interval, action}));
    return std::make_unique<TimerHandle>(timers_.back());
}

void FakeMainQueue::advance(std::chrono::milliseconds duration) {
    runPending();
    const auto target = now_ + duration;
    for (int i = 0; i < 100000; ++i) {
        std::erase_if(timers_, [](const auto& t) { return !t->valid; });
        std::shared_ptr<TimerState> next;
        for (const auto& timer : timers_) {
            if (timer->due <= target && (!next || timer->due < next->due)) {
                next = timer;
            }
        }
        if (!next) {
            now_ = target;
            return;
        }
        now_ = next->due;
        next->due += next->interval;
        next->action();
        runPending();
    }
    throw std::runtime_error("timers never settled");
}

void FakeMainQueue::sleep(std::chrono::milliseconds duration) {
    now_ += duration;
    for (const auto& timer : timers_) {
        timer->due += duration;
    }
}

std::size_t FakeMainQueue::liveTimers(std::chrono::milliseconds interval) const {
    return static_cast<std::size_t>(std::count_if(timers_.begin(), timers_.end(), [&](auto& t) {
        return t->valid && (interval.count() == 0 || t->interval == interval);
    }));
}

bool TaskQueue::runNext() {
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

void TaskQueue::runAll() {
    // Bounded, so that a task that keeps adding itself fails the test instead of hanging it.
    for (int i = 0; i < 100000; ++i) {
        if (!runNext()) {
            return;
        }
    }
    throw std::runtime_error("tasks never drained");
}

platform::HttpResult ScriptedHttpClient::send(const platform::HttpRequest& request) {
    std::function<platform::HttpResult(const platform::HttpRequest&)> next;
    {
        std::lock_guard lock(mutex_);
        requests.push_back(request);
        if (!script_.empty()) {
            auto result = std::move(script_.front());
            script_.pop_front();
            return result;
        }
        next = fallback;
    }
    return next ? next(request) : platform::TransferError{"no scripted answer"};
}

KeychainStatus InMemoryKeychain::store(const platform::KeychainQuery& query,
                                       const std::string& data,
                                       const std::optional<platform::KeychainAccess>& access) {
    if (beforeStore && !beforeStore(query)) {
        return KeychainStatus::failed;
    }
    std::lock_guard lock(mutex_);
    if (!locked) {
        items[query.account] = Item{data, access};
    }
    return locked ? KeychainStatus::locked : KeychainStatus::success;
}

platform::KeychainData InMemoryKeychain::copyMatching(const platform::KeychainQuery& query) {
    std::unique_lock lock(mutex_);
    ++reads;
    const auto it = items.find(query.account);
    const platform::KeychainData read =
        locked              ? KeychainData{KeychainStatus::locked, {}}
        : it == items.end() ? KeychainData{KeychainStatus::notFound, {}}
                            : KeychainData{KeychainStatus::success, it->second.data};
    lock.unlock();
    if (afterRead) {
        afterRead(query);
    }
    return read;
}

KeychainStatus InMemoryKeychain::unlock() {
    if (auto hook = std::exchange(whilePrompting, nullptr)) {
        hook();
    }
    std::lock_guard lock(mutex_);
    ++unlockPrompts;
    locked = locked && dismissPrompt;
    return locked ? KeychainStatus::locked : KeychainStatus::success;
}

KeychainStatus InMemoryKeychain::remove(const platform::KeychainQuery& query) {
    std::lock_guard lock(mutex_);
    return locked                       ? KeychainStatus::locked
           : items.erase(query.account) ? KeychainStatus::success
                                        : KeychainStatus::notFound;
}

std::optional<platform::TrustedApplication> InMemoryKeychain::trustedApplication(
    const std::optional<std::string>& path) {
    if (path && !proxyInstalled) {
        return std::nullopt;
    }
    return platform::TrustedApplication{path.value_or(selfPath)};
}

namespace {
struct FakeStatusItem final : platform::StatusItem {
    explicit FakeStatusItem(FakeDesktop& desktop) : desktop(desktop) {}
    bool hasButton() const override { return true; }
    bool setImage(const platform::StatusItemImage&) override { return true; }
    void setMenu(const platform::MenuModel& menu) override { desktop.menus.push_back(menu); }
    void setActionHandler(std::function<void(platform::MenuAction)> handler) override {
        desktop.click = std::move(handler);
    }
    FakeDesktop& desktop;
};

struct FakeWebAuthSession final : platform::WebAuthSession {
    explicit FakeWebAuthSession(std::shared_ptr<FakeDesktop::Session> s) : state(std::move(s)) {}
    ~FakeWebAuthSession() override { state->released = true; }
    void setPrefersEphemeralWebBrowserSession(bool) override {}
    bool start() override { return state->started = true; }
    std::shared_ptr<FakeDesktop::Session> state;
};
}  // namespace

std::unique_ptr<platform::StatusItem> FakeDesktop::makeStatusItem() {
    return std::make_unique<FakeStatusItem>(*this);
}

std::unique_ptr<platform::WebAuthSession> FakeDesktop::makeSession(
    const std::string& url, const std::string&, platform::WebAuthCompletion completion) {
    sessions.push_back(std::make_shared<Session>(Session{url, std::move(completion)}));
    return std::make_unique<FakeWebAuthSession>(sessions.back());
}

std::string FakeCrypto::sha256(std::string_view bytes) {
    return adapters::OpenSslCrypto().sha256(bytes);
}

std::string makeToken(const std::string& payloadJson) {
    return "eyJhbGciOiJSUzI1NiJ9." + base64::encodeUrlNoPadding(payloadJson) + ".c2lnbmF0dXJl";
}

// "kind title", then " | value", the symbol ("[name colour]" tinted, "[name]" plain, "(name)"
// small), the value's colour, " -> action" and " key k".
std::vector<std::string> describe(const platform::MenuModel& menu) {
    using platform::MenuItemKind;
    using platform::SymbolStyle;
    constexpr const char* kKinds[] = {"info", "status", "header", "stat", "command", "---"};
    constexpr const char* kActions[] = {"login",     "logout", "subscribe",
                                        "reconnect", "quit",   "unlockKeyring"};
    const auto color = [](platform::Color c) {
        constexpr const char* kNames[] = {"label", "grey",   "red",  "yellow",
                                          "green", "orange", "blue", "purple"};
        return std::string(kNames[static_cast<int>(c)]);
    };
    std::vector<std::string> lines;
    for (const auto& item : menu.items) {
        std::string line = kKinds[static_cast<int>(item.kind)];
        line += item.kind == MenuItemKind::separator ? "" : " " + item.title;
        line += item.kind == MenuItemKind::statRow ? " | " + item.value : "";
        if (item.symbol && item.symbolStyle == SymbolStyle::small) {
            line += " (" + *item.symbol + ")";
        } else if (item.symbol) {
            const bool tinted = item.symbolStyle == SymbolStyle::palette && item.symbolColor;
            line += " [" + *item.symbol + (tinted ? " " + color(*item.symbolColor) : "") + "]";
        }
        line += item.valueColor ? " " + color(*item.valueColor) : "";
        line += item.action ? std::string(" -> ") + kActions[static_cast<int>(*item.action)] : "";
        line += item.keyEquivalent.empty() ? "" : " key " + item.keyEquivalent;
        lines.push_back(line);
    }
    return lines;
}

}  // namespace zandorin::test
