#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace zandorin::platform {

// A repeating timer on the main thread. Destroying the handle invalidates the timer.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void invalidate() = 0;
};

// The main thread's queue and run-loop timers. post() may be called from any thread;
// everything else only on the main thread.
class MainQueue {
public:
    virtual ~MainQueue() = default;

    // Runs the block later on the main thread, after the blocks posted before it.
    virtual void post(std::function<void()> block) = 0;

    // First firing one interval after the call, then every interval.
    virtual std::unique_ptr<Timer> scheduleRepeating(std::chrono::milliseconds interval,
                                                     std::function<void()> action) = 0;

    virtual bool isMainThread() const = 0;
};

}  // namespace zandorin::platform
