#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "support/Events.h"

namespace zandorin::test {

// A main queue that runs only when the test says so, with a virtual clock: advancing four
// minutes fires the timers that fall due on the way, in order, without waiting.
class FakeMainQueue final : public platform::MainQueue, public platform::Clock {
public:
    explicit FakeMainQueue(Events& events);

    void post(std::function<void()> block) override;
    std::unique_ptr<platform::Timer> scheduleRepeating(std::chrono::milliseconds interval,
                                                       std::function<void()> action) override;
    bool isMainThread() const override;
    std::chrono::system_clock::time_point now() const override;

    // Runs posted blocks, including blocks they post, until none is left.
    void runPending();
    // Moves the clock forward, firing due timers (and running posted blocks) on the way.
    void advance(std::chrono::milliseconds duration);
    void setNow(std::chrono::system_clock::time_point now);

    std::size_t pendingBlocks() const;
    std::size_t liveTimers() const;

private:
    struct TimerState {
        std::chrono::milliseconds interval;
        std::chrono::system_clock::time_point due;
        std::function<void()> action;
        bool valid = true;
    };
    class Handle;

    Events& events_;
    const std::thread::id mainThread_ = std::this_thread::get_id();
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> blocks_;
    std::vector<std::shared_ptr<TimerState>> timers_;
    std::chrono::system_clock::time_point now_;
};

}  // namespace zandorin::test
