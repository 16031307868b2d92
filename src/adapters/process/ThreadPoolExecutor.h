#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/BackgroundExecutor.h"

namespace zandorin::adapters {

// A small pool of worker threads. Tasks block on the network, so the pool has a few more
// threads than cores; idle workers sleep on a condition variable.
class ThreadPoolExecutor final : public platform::BackgroundExecutor {
public:
    explicit ThreadPoolExecutor(unsigned threads = 4);
    ~ThreadPoolExecutor() override;

    ThreadPoolExecutor(const ThreadPoolExecutor&) = delete;
    ThreadPoolExecutor& operator=(const ThreadPoolExecutor&) = delete;

    void run(std::function<void()> task) override;

private:
    void work(const std::stop_token& stop);

    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<std::function<void()>> tasks_;
    std::vector<std::jthread> workers_;
};

}  // namespace zandorin::adapters
