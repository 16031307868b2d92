#pragma once

#include <functional>

namespace zandorin::platform {

// Moments after which what the menu shows may be stale: timers on the main queue do not count
// the time the machine slept, and nothing answered while the network was gone.
enum class SystemEvent {
    wokeFromSleep,    // the machine resumed from suspend or hibernation
    networkReturned,  // the network became usable again after it was not
};

// Tells of those moments as they happen; nothing is polled. The handler runs on the main thread.
class SystemEvents {
public:
    virtual ~SystemEvents() = default;
    virtual void setHandler(std::function<void(SystemEvent)> handler) = 0;
};

}  // namespace zandorin::platform
