#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "adapters/curl/CurlUrlParser.h"
#include "platform/Platform.h"

namespace zandorin::test {

// Tasks that run in order, one at a time, only when the test says so.
class TaskQueue {
public:
    void push(std::function<void()> task) {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    bool runNext();
    // Runs tasks, including those they add, until none is left.
    void runAll();
    std::size_t pending() const {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }

private:
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
};

// Background tasks are interleaved deterministically.
class ManualExecutor final : public platform::BackgroundExecutor, public TaskQueue {
public:
    void run(std::function<void()> task) override { push(std::move(task)); }
    // On a thread of their own, as background tasks run in the application.
    void runAllElsewhere() {
        std::thread([this] { runAll(); }).join();
    }
};

// A main queue with a virtual clock: advancing four minutes fires the timers that fall due on
// the way, in order, without waiting.
class FakeMainQueue final : public platform::MainQueue, public platform::Clock {
public:
    void post(std::function<void()> block) override { blocks_.push(std::move(block)); }
    std::unique_ptr<platform::Timer> scheduleRepeating(std::chrono::milliseconds interval,
                                                       std::function<void()> action) override;
    bool isMainThread() const override { return std::this_thread::get_id() == mainThread_; }
    std::chrono::system_clock::time_point now() const override { return now_; }

    void runPending() { blocks_.runAll(); }
    // Moves the clock forward, firing due timers (and running posted blocks) on the way.
    void advance(std::chrono::milliseconds duration);
    // The machine sleeps: the clock moves on, the timers do not count it.
    void sleep(std::chrono::milliseconds duration);
    // Timers not invalidated; of one interval, or all of them.
    std::size_t liveTimers(std::chrono::milliseconds interval = {}) const;

    struct TimerState;

private:
    const std::thread::id mainThread_ = std::this_thread::get_id();
    TaskQueue blocks_;
    std::vector<std::shared_ptr<TimerState>> timers_;  // main thread only
    std::chrono::system_clock::time_point now_ =
        std::chrono::sys_days(std::chrono::year(2026) / 1 / 1);
};

// Answers requests in the order enqueued, then from the fallback; records every request.
// Scripted and read from the test's thread while no request is under way.
class ScriptedHttpClient final : public platform::HttpClient {
public:
    platform::HttpResult send(const platform::HttpRequest& request) override;
    void enqueue(platform::HttpResult result) { script_.push_back(std::move(result)); }
    std::function<platform::HttpResult(const platform::HttpRequest&)> fallback;
    std::vector<platform::HttpRequest> requests;

private:
    std::mutex mutex_;
    std::deque<platform::HttpResult> script_;
};

// A keyring in memory that can be made to refuse, as a locked one does.
class InMemoryKeychain final : public platform::Keychain {
public:
    static constexpr const char* selfPath = "/opt/zandorin/zandorin-auth";

    platform::KeychainStatus store(const platform::KeychainQuery& query, const std::string& data,
                                   const std::optional<platform::KeychainAccess>& access) override;
    platform::KeychainData copyMatching(const platform::KeychainQuery& query) override;
    platform::KeychainStatus remove(const platform::KeychainQuery& query) override;
    // Opens a locked keyring unless the user is to dismiss the prompt.
    platform::KeychainStatus unlock() override;
    std::optional<platform::TrustedApplication> trustedApplication(
        const std::optional<std::string>& path) override;

    bool locked = false;  // set while no keyring call is under way
    bool dismissPrompt = false;
    int unlockPrompts = 0;
    bool proxyInstalled = false;
    int reads = 0;
    // Runs before each store, e.g. to interleave another operation with a write; false
    // refuses the write.
    std::function<bool(const platform::KeychainQuery&)> beforeStore;
    // Runs after each read, with the data already taken.
    std::function<void(const platform::KeychainQuery&)> afterRead;
    // Runs once, while the next unlock prompt is open.
    std::function<void()> whilePrompting;
    struct Item {
        std::string data;
        std::optional<platform::KeychainAccess> access;
    };
    std::map<std::string, Item> items;  // by account; the service is always ours

private:
    std::mutex mutex_;
};

// The desktop's ports that do no more than record what the core asks of them and hand back
// the handlers it gives them.
class FakeDesktop final : public platform::Application,
                          public platform::StatusBar,
                          public platform::Alerts,
                          public platform::Workspace,
                          public platform::KeychainMonitor,
                          public platform::WebAuthSessionFactory,
                          public platform::UserNotificationCenter,
                          public platform::RemoteNotifications,
                          public platform::BundleInfo,
                          public platform::SystemEvents,
                          public platform::StateFlags {
public:
    struct Session {
        std::string url;
        platform::WebAuthCompletion completion;
        bool started = false;
        bool released = false;  // the manager let go of it
    };

    void setActivationPolicy(platform::ActivationPolicy) override {}
    void terminate() override { ++terminations; }
    std::unique_ptr<platform::StatusItem> makeStatusItem() override;
    void runModal(const platform::AlertContent& alert) override { alerts.push_back(alert); }
    bool open(const std::string& url) override {
        opened.push_back(url);
        return true;
    }
    void setChangeHandler(std::function<void()> handler) override { keyringChanged = handler; }
    std::unique_ptr<platform::WebAuthSession> makeSession(
        const std::string& url, const std::string& callbackScheme,
        platform::WebAuthCompletion completion) override;
    void requestAuthorization(
        unsigned, std::function<void(bool, const std::optional<std::string>&)> done) override {
        pendingAuthorization = std::move(done);
    }
    void add(const platform::NotificationRequest& request) override {
        notifications.push_back(request);
    }
    void setDelegate(platform::UserNotificationDelegate* delegate) override {
        notificationDelegate = delegate;
    }
    void setDelegate(platform::RemoteNotificationsDelegate*) override {}
    void registerForRemoteNotifications() override { ++registrations; }
    std::optional<std::string> stringValue(const std::string& key) const override {
        const auto it = infoPlist.find(key);
        return it == infoPlist.end() ? std::nullopt : std::optional(it->second);
    }

    void setHandler(std::function<void(platform::SystemEvent)> handler) override {
        systemEvent = std::move(handler);
    }
    bool isSet(const std::string& name) const override { return flags.count(name) > 0; }
    bool set(const std::string& name, bool on) override {
        on ? void(flags.insert(name)) : void(flags.erase(name));
        return true;
    }

    std::vector<std::string> notificationIds() const {
        std::vector<std::string> ids;
        for (const auto& request : notifications) {
            ids.push_back(request.identifier);
        }
        return ids;
    }

    int terminations = 0;
    std::vector<platform::MenuModel> menus;  // every menu set, in order
    std::function<void(platform::MenuAction)> click;
    std::vector<platform::AlertContent> alerts;
    std::vector<std::string> opened;
    std::function<void()> keyringChanged;
    std::vector<std::shared_ptr<Session>> sessions;
    std::function<void(bool, const std::optional<std::string>&)> pendingAuthorization;
    std::vector<platform::NotificationRequest> notifications;
    platform::UserNotificationDelegate* notificationDelegate = nullptr;
    int registrations = 0;
    std::map<std::string, std::string> infoPlist;
    std::function<void(platform::SystemEvent)> systemEvent;
    std::set<std::string> flags;
};

// "category: message"; the subsystem is always the application's.
class FakeSystemLog final : public platform::SystemLog {
public:
    void write(const std::string&, const std::string& category,
               const std::string& message) override {
        std::lock_guard lock(mutex_);
        lines.push_back(category + ": " + message);
    }
    std::vector<std::string> lines;

private:
    std::mutex mutex_;
};

// Written by one background task at a time.
class FakeConsole final : public platform::Console {
public:
    void writeLine(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
};

// Given bytes once, then constant ones, or a failing generator; the digest is the real one.
class FakeCrypto final : public platform::Crypto {
public:
    std::optional<std::string> randomBytes(std::size_t count) override {
        if (failing) {
            return std::nullopt;
        }
        return std::exchange(nextBytes, std::nullopt).value_or(std::string(count, 'Z'));
    }
    std::string sha256(std::string_view bytes) override;
    bool failing = false;
    std::optional<std::string> nextBytes;
};

template <typename... Ports>
platform::Platform bundle(Ports&... ports) {
    return {ports...};
}

// Every port backed by a fake, bundled the way the composition root bundles the real ones.
struct TestPlatform {
    FakeMainQueue mainQueue;
    ManualExecutor executor;
    ScriptedHttpClient http;
    InMemoryKeychain keychain;
    FakeDesktop desktop;
    FakeSystemLog systemLog;
    FakeConsole console;
    adapters::CurlUrlParser urls;  // the real one: what links the core finds depends on it
    FakeCrypto crypto;

    // Background tasks, then the main queue's blocks, until neither has work left.
    void settle() {
        mainQueue.runPending();
        for (int i = 0; i < 50 && executor.pending(); ++i) {
            executor.runAllElsewhere();
            mainQueue.runPending();
        }
    }

    platform::Platform platform = bundle(
        desktop, mainQueue, mainQueue, executor, http, keychain, desktop, desktop, desktop, desktop,
        desktop, desktop, desktop, desktop, systemLog, console, urls, crypto, desktop, desktop);
};

inline platform::HttpResponse answer(long status, std::string body = "",
                                     platform::HeaderFields headers = {}) {
    return {status, std::move(headers), std::move(body)};
}

// A token shaped like the provider's: header, base64url payload, signature.
std::string makeToken(const std::string& payloadJson);

// One line per menu item, compact enough to write whole layouts into a test table.
std::vector<std::string> describe(const platform::MenuModel& menu);

}  // namespace zandorin::test
