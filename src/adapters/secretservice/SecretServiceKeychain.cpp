#include "adapters/secretservice/SecretServiceKeychain.h"

#include <libsecret/secret.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace zandorin::adapters {

namespace {

using platform::KeychainQuery;
using platform::KeychainStatus;
using Clock = std::chrono::steady_clock;

template <auto Free>
struct GDeleter {
    template <typename T>
    void operator()(T* object) const {
        Free(object);
    }
};

template <typename T, auto Free>
using GOwned = std::unique_ptr<T, GDeleter<Free>>;

using CancellablePtr = GOwned<GCancellable, g_object_unref>;
using ServicePtr = GOwned<SecretService, g_object_unref>;
using ValuePtr = GOwned<SecretValue, secret_value_unref>;
using AttributesPtr = GOwned<GHashTable, g_hash_table_unref>;
using ErrorPtr = GOwned<GError, g_error_free>;

struct ItemListFree {
    void operator()(GList* items) const { g_list_free_full(items, g_object_unref); }
};
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;

// DONT_MATCH_NAME: items written by other tools (secret-tool, the local proxy) carry no
// xdg:schema attribute and must still be found.
const SecretSchema& tokenSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "com.zandorin.auth.Token";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return schema;
}

AttributesPtr attributesFor(const KeychainQuery& query) {
    return AttributesPtr{secret_attributes_build(&tokenSchema(), "service", query.service.c_str(),
                                                 "account", query.account.c_str(), nullptr)};
}

std::vector<SecretItem*> itemsOf(GList* list) {
    std::vector<SecretItem*> items;
    for (GList* node = list; node != nullptr; node = node->next) {
        items.push_back(SECRET_ITEM(node->data));
    }
    return items;
}

// Every item matching the query, in any collection. UNLOCK asks the provider to unlock
// locked ones (a prompt on a desktop); items that stay locked come back with their locked
// flag set.
ItemListPtr matchingItems(SecretService* service, const KeychainQuery& query,
                          GCancellable* cancellable, GError** error) {
    const auto attributes = attributesFor(query);
    return ItemListPtr{secret_service_search_sync(
        service, &tokenSchema(), attributes.get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK), cancellable,
        error)};
}

// Cancels calls that outlive their deadline. One thread that sleeps on a condition variable,
// without a timeout while no call is running.
class Watchdog {
public:
    Watchdog() : thread_([this] { run(); }) {}

    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    std::uint64_t arm(Clock::time_point deadline, GCancellable* cancellable) {
        std::uint64_t ticket = 0;
        {
            std::lock_guard lock(mutex_);
            ticket = ++lastTicket_;
            armed_.emplace(
                ticket, Armed{deadline, CancellablePtr{G_CANCELLABLE(g_object_ref(cancellable))}});
        }
        wake_.notify_one();
        return ticket;
    }

    void disarm(std::uint64_t ticket) {
        CancellablePtr released;
        std::lock_guard lock(mutex_);
        if (auto it = armed_.find(ticket); it != armed_.end()) {
            released = std::move(it->second.cancellable);
            armed_.erase(it);
        }
    }

private:
    struct Armed {
        Clock::time_point deadline;
        CancellablePtr cancellable;
    };

    void run() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            if (armed_.empty()) {
                wake_.wait(lock);
                continue;
            }
            const auto now = Clock::now();
            auto earliest = Clock::time_point::max();
            std::vector<CancellablePtr> due;
            for (auto it = armed_.begin(); it != armed_.end();) {
                if (it->second.deadline <= now) {
                    due.push_back(std::move(it->second.cancellable));
                    it = armed_.erase(it);
                } else {
                    earliest = std::min(earliest, it->second.deadline);
                    ++it;
                }
            }
            if (!due.empty()) {
                // Cancelling runs GIO's handlers; keep them outside our lock.
                lock.unlock();
                for (const auto& cancellable : due) {
                    g_cancellable_cancel(cancellable.get());
                }
                due.clear();
                lock.lock();
                continue;
            }
            wake_.wait_until(lock, earliest);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::uint64_t, Armed> armed_;
    std::uint64_t lastTicket_ = 0;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once the members above exist
};

class ArmedDeadline {
public:
    ArmedDeadline(Watchdog& watchdog, Clock::time_point deadline, GCancellable* cancellable)
        : watchdog_(watchdog), ticket_(watchdog.arm(deadline, cancellable)) {}
    ~ArmedDeadline() { watchdog_.disarm(ticket_); }

    ArmedDeadline(const ArmedDeadline&) = delete;
    ArmedDeadline& operator=(const ArmedDeadline&) = delete;

private:
    Watchdog& watchdog_;
    std::uint64_t ticket_;
};

}  // namespace

struct SecretServiceKeychain::Impl {
    std::function<bool()> isMainThread;
    Options options;
    Watchdog watchdog;

    Impl(std::function<bool()> mainThread, Options opts)
        : isMainThread(std::move(mainThread)), options(opts) {}

    [[nodiscard]] std::chrono::milliseconds deadline() const {
        return isMainThread && isMainThread() ? options.mainThreadDeadline
                                              : options.backgroundDeadline;
    }

    // Runs one keyring call under the caller's deadline. `attempt` reports failure through
    // its GError; it runs a second time after an error that neither the deadline nor the
    // provider's "locked" answer explains, because after the keyring daemon restarts,
    // libsecret's cached connection keeps failing until it is dropped. Re-asking after
    // "locked" would only repeat the unlock prompt.
    template <typename Result, typename Attempt>
    Result bounded(Result onFailure, Attempt attempt) {
        const CancellablePtr cancellable{g_cancellable_new()};
        const ArmedDeadline armed(watchdog, Clock::now() + deadline(), cancellable.get());
        for (int round = 0; round < 2; ++round) {
            GError* raw = nullptr;
            Result result = attempt(cancellable.get(), &raw);
            const ErrorPtr error{raw};
            if (!error) {
                return result;
            }
            if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED) ||
                g_error_matches(error.get(), SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) {
                break;
            }
            secret_service_disconnect();
        }
        return onFailure;
    }
};

SecretServiceKeychain::SecretServiceKeychain(std::function<bool()> isMainThread)
    : SecretServiceKeychain(std::move(isMainThread), Options{}) {}

SecretServiceKeychain::SecretServiceKeychain(std::function<bool()> isMainThread, Options options)
    : impl_(std::make_unique<Impl>(std::move(isMainThread), options)) {}

SecretServiceKeychain::~SecretServiceKeychain() = default;

KeychainStatus SecretServiceKeychain::store(const KeychainQuery& query, const std::string& data,
                                            const std::optional<platform::KeychainAccess>&) {
    return impl_->bounded(KeychainStatus::failed, [&](GCancellable* cancellable, GError** error) {
        const ServicePtr service{
            secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancellable, error)};
        if (!service) {
            return KeychainStatus::failed;
        }
        const auto found = matchingItems(service.get(), query, cancellable, error);
        if (*error != nullptr) {
            return KeychainStatus::failed;
        }
        const ValuePtr value{
            secret_value_new(data.data(), static_cast<gssize>(data.size()), "text/plain")};
        const auto items = itemsOf(found.get());
        if (items.empty()) {
            const auto attributes = attributesFor(query);
            return secret_service_store_sync(service.get(), &tokenSchema(), attributes.get(),
                                             SECRET_COLLECTION_DEFAULT, query.account.c_str(),
                                             value.get(), cancellable, error)
                       ? KeychainStatus::success
                       : KeychainStatus::failed;
        }
        // Overwrite an existing item rather than create a new one: the provider only replaces
        // items whose attributes match exactly, and one written by another tool lacks our
        // xdg:schema, so creating would leave two items and readers would pick either.
        SecretItem* target = nullptr;
        for (SecretItem* item : items) {
            if (!secret_item_get_locked(item)) {
                target = item;
                break;
            }
        }
        if (target == nullptr) {
            return KeychainStatus::failed;
        }
        if (!secret_item_set_secret_sync(target, value.get(), cancellable, error)) {
            return KeychainStatus::failed;
        }
        for (SecretItem* item : items) {
            if (item != target && !secret_item_get_locked(item) &&
                !secret_item_delete_sync(item, cancellable, error)) {
                return KeychainStatus::failed;
            }
        }
        return KeychainStatus::success;
    });
}

std::optional<std::string> SecretServiceKeychain::copyMatching(const KeychainQuery& query) {
    return impl_->bounded(
        std::optional<std::string>{},
        [&](GCancellable* cancellable, GError** error) -> std::optional<std::string> {
            const auto attributes = attributesFor(query);
            // A locked keyring yields no value and no error.
            const ValuePtr value{secret_password_lookupv_binary_sync(
                &tokenSchema(), attributes.get(), cancellable, error)};
            if (!value) {
                return std::nullopt;
            }
            gsize length = 0;
            const gchar* bytes = secret_value_get(value.get(), &length);
            return std::string(bytes, length);
        });
}

KeychainStatus SecretServiceKeychain::remove(const KeychainQuery& query) {
    return impl_->bounded(KeychainStatus::failed, [&](GCancellable* cancellable, GError** error) {
        const ServicePtr service{secret_service_get_sync(SECRET_SERVICE_NONE, cancellable, error)};
        if (!service) {
            return KeychainStatus::failed;
        }
        // Not secret_password_clear: it skips locked items and then reports "nothing matched".
        const auto found = matchingItems(service.get(), query, cancellable, error);
        if (*error != nullptr) {
            return KeychainStatus::failed;
        }
        const auto items = itemsOf(found.get());
        if (items.empty()) {
            return KeychainStatus::notFound;
        }
        bool lockedLeft = false;
        for (SecretItem* item : items) {
            if (secret_item_get_locked(item)) {
                lockedLeft = true;
            } else if (!secret_item_delete_sync(item, cancellable, error)) {
                return KeychainStatus::failed;
            }
        }
        return lockedLeft ? KeychainStatus::failed : KeychainStatus::success;
    });
}

std::optional<platform::TrustedApplication> SecretServiceKeychain::trustedApplication(
    const std::optional<std::string>& path) {
    if (!path) {
        std::error_code ec;
        auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (ec) {
            return std::nullopt;
        }
        return platform::TrustedApplication{self.string()};
    }
    struct stat info {};
    if (::stat(path->c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        ::access(path->c_str(), X_OK) != 0) {
        return std::nullopt;
    }
    return platform::TrustedApplication{*path};
}

}  // namespace zandorin::adapters
