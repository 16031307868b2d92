#pragma once

#include <functional>
#include <memory>

#include "platform/SystemEvents.h"

namespace zandorin::adapters {

// Listens on the system bus for logind's resume (PrepareForSleep(false)) and for
// NetworkManager reaching full connectivity. Only signals are subscribed to: nothing is polled
// or asked, the connection is made without waiting for it, and without a system bus, logind or
// NetworkManager nothing is ever reported. Create, use and destroy on the main thread, with the
// Qt application (and so its GLib event loop) alive.
class SystemBusEvents final : public platform::SystemEvents {
public:
    SystemBusEvents();
    ~SystemBusEvents() override;

    SystemBusEvents(const SystemBusEvents&) = delete;
    SystemBusEvents& operator=(const SystemBusEvents&) = delete;

    void setHandler(std::function<void(platform::SystemEvent)> handler) override;

    struct State;  // shared with GIO's callbacks

private:
    std::shared_ptr<State> state_;
};

}  // namespace zandorin::adapters
