#pragma once

#include <functional>

namespace zandorin::platform {

// Runs tasks off the main thread. A task is straight-line code that may block on the network.
class BackgroundExecutor {
public:
    virtual ~BackgroundExecutor() = default;
    virtual void run(std::function<void()> task) = 0;
};

}  // namespace zandorin::platform
