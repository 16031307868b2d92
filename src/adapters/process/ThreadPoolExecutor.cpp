#include "adapters/process/ThreadPoolExecutor.h"

namespace zandorin::adapters {

ThreadPoolExecutor::ThreadPoolExecutor(unsigned threads) {
    workers_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        workers_.emplace_back([this](const std::stop_token& stop) { work(stop); });
    }
}

ThreadPoolExecutor::~ThreadPoolExecutor() {
    for (auto& worker : workers_) {
        worker.request_stop();
    }
    wake_.notify_all();
    workers_.clear();  // joins
}

void ThreadPoolExecutor::run(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void ThreadPoolExecutor::work(const std::stop_token& stop) {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            if (!wake_.wait(lock, stop, [this] { return !tasks_.empty(); })) {
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

}  // namespace zandorin::adapters
