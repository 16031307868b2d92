#include "adapters/secretservice/SecretServiceKeychain.h"

#include <libsecret/secret.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "adapters/secretservice/Lane.h"

namespace zandorin::adapters {

namespace {

using platform::KeychainData;
using platform::KeychainQuery;
using platform::KeychainStatus;
using Clock = Lane::Clock;

template <auto Free>
struct GDeleter {
    template <typename T>
    void operator()(T* object) const {
        Free(object);
    }
};

template <typename T, auto Free>
using GOwned = std::unique_ptr<T, GDeleter<Free>>;

using ServicePtr = GOwned<SecretService, g_object_unref>;
using CollectionPtr = GOwned<SecretCollection, g_object_unref>;
using ItemPtr = GOwned<SecretItem, g_object_unref>;
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

bool anyLocked(const std::vector<SecretItem*>& items) {
    for (SecretItem* item : items) {
        if (secret_item_get_locked(item)) {
            return true;
        }
    }
    return false;
}

ServicePtr connectService(GCancellable* cancellable, GError** error) {
    ServicePtr service{secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancellable, error)};
    if (service) {
        // GIO's shared session connection would raise SIGTERM when the bus goes; the
        // application says why it ends instead.
        g_dbus_connection_set_exit_on_close(
            g_dbus_proxy_get_connection(G_DBUS_PROXY(service.get())), FALSE);
    }
    return service;
}

struct Matches {
    ServicePtr service;
    ItemListPtr list;
    std::vector<SecretItem*> items;
};

// Every item matching the query, in any collection. Without SECRET_SEARCH_UNLOCK: locked ones
// come back with their locked flag set instead of bringing up the unlock prompt.
std::optional<Matches> matchingItems(const KeychainQuery& query, bool loadSecrets,
                                     GCancellable* cancellable, GError** error) {
    Matches matches{connectService(cancellable, error), nullptr, {}};
    if (!matches.service) {
        return std::nullopt;
    }
    const auto attributes = attributesFor(query);
    const int flags = SECRET_SEARCH_ALL | (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0);
    matches.list.reset(
        secret_service_search_sync(matches.service.get(), &tokenSchema(), attributes.get(),
                                   static_cast<SecretSearchFlags>(flags), cancellable, error));
    if (*error != nullptr) {
        return std::nullopt;
    }
    matches.items = itemsOf(matches.list.get());
    return matches;
}

CollectionPtr defaultCollection(SecretService* service, GCancellable* cancellable, GError** error) {
    return CollectionPtr{secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable, error)};
}

// What a search that found nothing means: some providers hide what a locked collection
// holds, so with the default collection locked the answer is "locked", not "no item".
KeychainStatus nothingFound(SecretService* service, GCancellable* cancellable, GError** error) {
    const auto collection = defaultCollection(service, cancellable, error);
    if (*error != nullptr) {
        return KeychainStatus::failed;
    }
    return collection && secret_collection_get_locked(collection.get()) ? KeychainStatus::locked
                                                                        : KeychainStatus::notFound;
}

// Where the default collection is missing or locked, a new item cannot be written without the
// user: "locked", which unlock() resolves.
KeychainStatus createItem(SecretService* service, const KeychainQuery& query, SecretValue* value,
                          GCancellable* cancellable, GError** error) {
    const auto collection = defaultCollection(service, cancellable, error);
    if (*error != nullptr) {
        return KeychainStatus::failed;
    }
    if (!collection || secret_collection_get_locked(collection.get())) {
        return KeychainStatus::locked;
    }
    const auto attributes = attributesFor(query);
    const ItemPtr item{secret_item_create_sync(collection.get(), &tokenSchema(), attributes.get(),
                                               query.account.c_str(), value,
                                               SECRET_ITEM_CREATE_NONE, cancellable, error)};
    return item ? KeychainStatus::success : KeychainStatus::failed;
}

// Runs the work on the lane with a cancellable of its own, cancelled when the caller gives up.
// libsecret's cancellation alone cannot bound a call: it does not end one that waits on an
// unlock prompt.
template <typename Result, typename Work>
Result callWithin(Lane& lane, Clock::time_point deadline, Result onTimeout, Work work) {
    const std::shared_ptr<GCancellable> cancellable(g_cancellable_new(), g_object_unref);
    return lane.call(
        deadline, std::move(onTimeout), [cancellable, work] { return work(cancellable.get()); },
        [cancellable] { g_cancellable_cancel(cancellable.get()); });
}

// Runs one keyring operation, a second time after an error that neither a cancellation nor the
// provider's "locked" answer explains: after the keyring daemon restarts, libsecret's cached
// connection keeps failing until it is dropped.
template <typename Result, typename Attempt>
Result withReconnect(Result onFailure, Result onLocked, GCancellable* cancellable,
                     Attempt attempt) {
    for (int round = 0; round < 2; ++round) {
        GError* raw = nullptr;
        Result result = attempt(cancellable, &raw);
        const ErrorPtr error{raw};
        if (!error) {
            return result;
        }
        if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            break;
        }
        if (g_error_matches(error.get(), SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) {
            return onLocked;
        }
        secret_service_disconnect();
    }
    return onFailure;
}

KeychainStatus storeNow(const KeychainQuery& query, const std::string& data,
                        GCancellable* cancellable, GError** error) {
    const auto found = matchingItems(query, false, cancellable, error);
    if (!found) {
        return KeychainStatus::failed;
    }
    const auto& items = found->items;
    SecretService* service = found->service.get();
    const ValuePtr value{
        secret_value_new(data.data(), static_cast<gssize>(data.size()), "text/plain")};
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
        return items.empty() ? createItem(service, query, value.get(), cancellable, error)
                             : KeychainStatus::locked;
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
}

KeychainData copyNow(const KeychainQuery& query, GCancellable* cancellable, GError** error) {
    const auto found = matchingItems(query, true, cancellable, error);
    if (!found) {
        return {};
    }
    const auto& items = found->items;
    SecretService* service = found->service.get();
    for (SecretItem* item : items) {
        if (secret_item_get_locked(item)) {
            continue;
        }
        if (const ValuePtr value{secret_item_get_secret(item)}) {
            gsize length = 0;
            const gchar* bytes = secret_value_get(value.get(), &length);
            return {KeychainStatus::success, std::string(bytes, length)};
        }
    }
    if (anyLocked(items)) {
        return {KeychainStatus::locked, {}};
    }
    return {nothingFound(service, cancellable, error), {}};
}

KeychainStatus removeNow(const KeychainQuery& query, GCancellable* cancellable, GError** error) {
    const auto found = matchingItems(query, false, cancellable, error);
    if (!found) {
        return KeychainStatus::failed;
    }
    const auto& items = found->items;
    SecretService* service = found->service.get();
    if (items.empty()) {
        return nothingFound(service, cancellable, error);
    }
    for (SecretItem* item : items) {
        if (!secret_item_get_locked(item) && !secret_item_delete_sync(item, cancellable, error)) {
            return KeychainStatus::failed;
        }
    }
    return anyLocked(items) ? KeychainStatus::locked : KeychainStatus::success;
}

// Brings up the keyring's prompt: to unlock the default collection, or to choose the password
// of a new one where there is none yet. Not cancellable (see callWithin).
KeychainStatus unlockNow(GError** error) {
    const ServicePtr service = connectService(nullptr, error);
    if (!service) {
        return KeychainStatus::failed;
    }
    const auto collection = defaultCollection(service.get(), nullptr, error);
    if (*error != nullptr) {
        return KeychainStatus::failed;
    }
    if (!collection) {
        const CollectionPtr created{
            secret_collection_create_sync(service.get(), "Login", SECRET_COLLECTION_DEFAULT,
                                          SECRET_COLLECTION_CREATE_NONE, nullptr, error)};
        return created ? KeychainStatus::success : KeychainStatus::failed;
    }
    if (!secret_collection_get_locked(collection.get())) {
        return KeychainStatus::success;
    }
    GList objects{collection.get(), nullptr, nullptr};
    const gint unlocked =
        secret_service_unlock_sync(service.get(), &objects, nullptr, nullptr, error);
    if (*error != nullptr) {
        return KeychainStatus::failed;
    }
    // A dismissed prompt is no error: the collection just stays locked.
    return unlocked > 0 ? KeychainStatus::success : KeychainStatus::locked;
}

}  // namespace

struct SecretServiceKeychain::Impl {
    std::function<bool()> isMainThread;
    Options options;
    Lane calls;
    Lane prompts;
    std::mutex unlockMutex;
    std::shared_ptr<Lane::Pending<KeychainStatus>> unlocking;  // the prompt open now, if any

    Impl(std::function<bool()> mainThread, Options opts)
        : isMainThread(std::move(mainThread)), options(opts) {}

    [[nodiscard]] Clock::time_point deadline() const {
        return Clock::now() + (isMainThread && isMainThread() ? options.mainThreadDeadline
                                                              : options.backgroundDeadline);
    }
};

SecretServiceKeychain::SecretServiceKeychain(std::function<bool()> isMainThread)
    : SecretServiceKeychain(std::move(isMainThread), Options{}) {}

SecretServiceKeychain::SecretServiceKeychain(std::function<bool()> isMainThread, Options options)
    : impl_(std::make_unique<Impl>(std::move(isMainThread), options)) {
    // Every start reads the keyring before its first menu; connecting now, on the lane, lets
    // the connection and its session handshake overlap the rest of the start.
    impl_->calls.post<bool>([] {
        GError* error = nullptr;
        const bool connected = connectService(nullptr, &error) != nullptr;
        g_clear_error(&error);
        return connected;
    });
}

SecretServiceKeychain::~SecretServiceKeychain() = default;

void SecretServiceKeychain::stop(std::chrono::milliseconds grace) {
    const auto latest = Clock::now() + grace;
    impl_->calls.giveUpBy(latest);
    impl_->prompts.giveUpBy(latest);
}

// Each call's arguments are copied into its work: an abandoned call outlives its caller.
KeychainStatus SecretServiceKeychain::store(const KeychainQuery& query, const std::string& data,
                                            const std::optional<platform::KeychainAccess>&) {
    return callWithin(impl_->calls, impl_->deadline(), KeychainStatus::failed,
                      [query, data](GCancellable* cancellable) {
                          return withReconnect(KeychainStatus::failed, KeychainStatus::locked,
                                               cancellable, [&](GCancellable* c, GError** error) {
                                                   return storeNow(query, data, c, error);
                                               });
                      });
}

KeychainData SecretServiceKeychain::copyMatching(const KeychainQuery& query) {
    return callWithin(
        impl_->calls, impl_->deadline(), KeychainData{}, [query](GCancellable* cancellable) {
            return withReconnect(
                KeychainData{}, KeychainData{KeychainStatus::locked, {}}, cancellable,
                [&](GCancellable* c, GError** error) { return copyNow(query, c, error); });
        });
}

KeychainStatus SecretServiceKeychain::remove(const KeychainQuery& query) {
    return callWithin(impl_->calls, impl_->deadline(), KeychainStatus::failed,
                      [query](GCancellable* cancellable) {
                          return withReconnect(KeychainStatus::failed, KeychainStatus::locked,
                                               cancellable, [&](GCancellable* c, GError** error) {
                                                   return removeNow(query, c, error);
                                               });
                      });
}

KeychainStatus SecretServiceKeychain::unlock() {
    std::shared_ptr<Lane::Pending<KeychainStatus>> pending;
    {
        std::lock_guard lock(impl_->unlockMutex);
        // A second prompt over one that is open would only confuse the user (and the keyring).
        if (impl_->unlocking) {
            std::lock_guard answered(impl_->unlocking->mutex);
            if (!impl_->unlocking->result) {
                pending = impl_->unlocking;
            }
        }
        if (!pending) {
            pending = impl_->prompts.post<KeychainStatus>([] {
                GError* raw = nullptr;
                const KeychainStatus status = unlockNow(&raw);
                const ErrorPtr error{raw};
                return status;
            });
            impl_->unlocking = pending;
        }
    }
    return pending->wait(Clock::now() + impl_->options.unlockDeadline)
        .value_or(KeychainStatus::failed);
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
