#include "support/FakeMainQueue.h"

#include <algorithm>
#include <stdexcept>

namespace zandorin::test {

class FakeMainQueue::Handle final : public platform::Timer {
public:
    explicit Handle(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
    ~Handle() override { invalidate(); }
    void invalidate() override { state_->valid = false; }

private:
    std::shared_ptr<TimerState> state_;
};

FakeMainQueue::FakeMainQueue(Events& events)
    : events_(events), now_(std::chrono::sys_days(std::chrono::year(2026) / 1 / 1)) {}

void FakeMainQueue::post(std::function<void()> block) {
    std::lock_guard lock(mutex_);
    blocks_.push_back(std::move(block));
}

std::unique_ptr<platform::Timer> FakeMainQueue::scheduleRepeating(
    std::chrono::milliseconds interval, std::function<void()> action) {
    if (!isMainThread()) {
        throw std::logic_error("timer scheduled off the main thread");
    }
    events_.add("mainQueue.scheduleRepeating " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(interval).count()) +
                "s");
    auto state = std::make_shared<TimerState>();
    state->interval = interval;
    state->action = std::move(action);
    {
        std::lock_guard lock(mutex_);
        state->due = now_ + interval;
        timers_.push_back(state);
    }
    return std::make_unique<Handle>(state);
}

bool FakeMainQueue::isMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

std::chrono::system_clock::time_point FakeMainQueue::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void FakeMainQueue::setNow(std::chrono::system_clock::time_point now) {
    std::lock_guard lock(mutex_);
    now_ = now;
}

void FakeMainQueue::runPending() {
    // Bounded, so that a block that keeps posting itself fails the test instead of hanging it.
    for (int i = 0; i < 100000; ++i) {
        std::function<void()> block;
        {
            std::lock_guard lock(mutex_);
            if (blocks_.empty()) {
                return;
            }
            block = std::move(blocks_.front());
            blocks_.pop_front();
        }
        block();
    }
    throw std::runtime_error("main queue never drained");
}

void FakeMainQueue::advance(std::chrono::milliseconds duration) {
    runPending();
    const auto target = now() + duration;
    for (int i = 0; i < 100000; ++i) {
        std::shared_ptr<TimerState> next;
        {
            std::lock_guard lock(mutex_);
            std::erase_if(timers_, [](const auto& t) { return !t->valid; });
            for (const auto& timer : timers_) {
                if (timer->due <= target && (!next || timer->due < next->due)) {
                    next = timer;
                }
            }
            if (!next) {
                now_ = target;
                break;
            }
            now_ = next->due;
            next->due += next->interval;
        }
        next->action();
        runPending();
    }
    runPending();
}

std::size_t FakeMainQueue::pendingBlocks() const {
    std::lock_guard lock(mutex_);
    return blocks_.size();
}

std::size_t FakeMainQueue::liveTimers() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(timers_.begin(), timers_.end(), [](const auto& t) { return t->valid; }));
}

}  // namespace zandorin::test
