#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/BackgroundExecutor.h"

namespace zandorin::adapters {

// A few worker threads, started when tasks come and ended after a while without one: an idle
// application holds none. Tasks block on the network, so there may be more workers than cores.
class ThreadPoolExecutor final : public platform::BackgroundExecutor {
public:
    struct Options {
        unsigned maxWorkers = 4;
        // Tasks come a minute apart or more: a worker kept between them would only sleep.
        std::chrono::milliseconds idleTimeout{std::chrono::seconds(5)};
    };

    ThreadPoolExecutor();
    explicit ThreadPoolExecutor(Options options);
    ~ThreadPoolExecutor() override;  // stops

    ThreadPoolExecutor(const ThreadPoolExecutor&) = delete;
    ThreadPoolExecutor& operator=(const ThreadPoolExecutor&) = delete;

    // Never runs the task on the calling thread. After stop() the task is dropped unrun.
    void run(std::function<void()> task) override;

    // Takes no more tasks, drops those not started, and waits for the running ones to return.
    // Call from outside the pool; the blocking calls inside tasks must be ended first, or this
    // waits for them.
    void stop();

private:
    void work(std::list<std::thread>::iterator self);

    const Options options_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    std::list<std::thread> workers_;
    std::vector<std::thread> retired_;  // ended for idleness, not joined yet
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

}  // namespace zandorin::adapters
