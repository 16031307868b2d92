#include "adapters/dbus/SystemBusEvents.h"

#include <gio/gio.h>

#include <array>

namespace zandorin::adapters {

namespace {

using platform::SystemEvent;

// NM_STATE_CONNECTED_GLOBAL: the internet is reachable. CONNECTED_SITE (60) and below leave
// the service out of reach, so only the step up to this state counts as the network's return.
constexpr guint32 kConnectedGlobal = 70;

}  // namespace

// GIO's callbacks may still come after the adapter is gone: `ended` tells them.
struct SystemBusEvents::State {
    std::function<void(SystemEvent)> handler;
    bool ended = false;
    guint32 lastNetworkState = 0;  // NM_STATE_UNKNOWN
    GDBusConnection* bus = nullptr;
    std::array<guint, 2> subscriptions{};

    void tell(SystemEvent event) const {
        if (handler) {
            handler(event);
        }
    }
};

namespace {

using State = SystemBusEvents::State;
using Shared = std::shared_ptr<State>;

State& stateOf(gpointer data) {
    return **static_cast<Shared*>(data);
}

void release(gpointer data) {
    delete static_cast<Shared*>(data);
}

void onPrepareForSleep(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer data) {
    gboolean goingToSleep = TRUE;
    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) {
        g_variant_get(parameters, "(b)", &goingToSleep);
    }
    if (!goingToSleep) {
        stateOf(data).tell(SystemEvent::wokeFromSleep);
    }
}

void onNetworkStateChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                           GVariant* parameters, gpointer data) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(u)"))) {
        return;
    }
    guint32 networkState = 0;
    g_variant_get(parameters, "(u)", &networkState);
    // NetworkManager announces only changes, so the first state seen came from another; a
    // repeat of the same state is not a return.
    State& state = stateOf(data);
    const bool returned =
        networkState == kConnectedGlobal && state.lastNetworkState != kConnectedGlobal;
    state.lastNetworkState = networkState;
    if (returned) {
        state.tell(SystemEvent::networkReturned);
    }
}

guint subscribe(const Shared& state, const char* sender, const char* path, const char* interface,
                const char* member, GDBusSignalCallback callback) {
    // GIO passes on only signals from the name's current owner.
    return g_dbus_connection_signal_subscribe(state->bus, sender, interface, member, path, nullptr,
                                              G_DBUS_SIGNAL_FLAGS_NONE, callback, new Shared(state),
                                              release);
}

void onConnected(GObject*, GAsyncResult* result, gpointer data) {
    const std::unique_ptr<Shared> shared(static_cast<Shared*>(data));
    GDBusConnection* bus = g_dbus_connection_new_for_address_finish(result, nullptr);
    if (!bus) {
        return;  // no system bus
    }
    State& state = **shared;
    if (state.ended) {
        g_object_unref(bus);
        return;
    }
    state.bus = bus;
    state.subscriptions = {
        subscribe(*shared, "org.freedesktop.login1", "/org/freedesktop/login1",
                  "org.freedesktop.login1.Manager", "PrepareForSleep", onPrepareForSleep),
        subscribe(*shared, "org.freedesktop.NetworkManager", "/org/freedesktop/NetworkManager",
                  "org.freedesktop.NetworkManager", "StateChanged", onNetworkStateChanged),
    };
}

}  // namespace

SystemBusEvents::SystemBusEvents() : state_(std::make_shared<State>()) {
    // GIO, not QtDBus: QtDBus connects every bus on its one thread and waits there, so a system
    // bus that accepts the connection and never answers would hold the session bus (the tray,
    // the menu) for good. GIO connects beside the main thread; callbacks come on the main
    // thread's GLib context, which Qt's event loop runs. A connection of our own keeps GIO's
    // shared one, which ends the process when the bus goes away, out of it.
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (!address) {
        return;
    }
    g_dbus_connection_new_for_address(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, onConnected, new Shared(state_));
    g_free(address);
}

SystemBusEvents::~SystemBusEvents() {
    state_->handler = nullptr;
    state_->ended = true;
    if (state_->bus) {
        for (const guint id : state_->subscriptions) {
            g_dbus_connection_signal_unsubscribe(state_->bus, id);
        }
        g_dbus_connection_close(state_->bus, nullptr, nullptr, nullptr);
        g_object_unref(state_->bus);
        state_->bus = nullptr;
    }
}

void SystemBusEvents::setHandler(std::function<void(platform::SystemEvent)> handler) {
    state_->handler = std::move(handler);
}

}  // namespace zandorin::adapters
