#include "adapters/process/ThreadPoolExecutor.h"

#include <utility>

namespace zandorin::adapters {

ThreadPoolExecutor::ThreadPoolExecutor() : ThreadPoolExecutor(Options{}) {}

ThreadPoolExecutor::ThreadPoolExecutor(Options options) : options_(options) {}

ThreadPoolExecutor::~ThreadPoolExecutor() {
    stop();
}

void ThreadPoolExecutor::run(std::function<void()> task) {
    if (!task) {
        return;
    }
    std::vector<std::thread> ended;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;  // `task` goes unrun, outside the lock
        }
        tasks_.push_back(std::move(task));
        if (tasks_.size() > idle_ && workers_.size() < options_.maxWorkers) {
            workers_.emplace_front();
            try {
                workers_.front() = std::thread([this, self = workers_.begin()] { work(self); });
            } catch (...) {
                workers_.pop_front();
                throw;
            }
        }
        ended.swap(retired_);
    }
    wake_.notify_one();
    for (auto& thread : ended) {
        thread.join();  // already past its last use of this pool
    }
}

void ThreadPoolExecutor::stop() {
    std::deque<std::function<void()>> dropped;
    std::list<std::thread> workers;
    std::vector<std::thread> ended;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(tasks_);
        workers.swap(workers_);
        ended.swap(retired_);
    }
    wake_.notify_all();
    dropped.clear();  // a task's captures may take locks of their own as they go
    for (auto& thread : workers) {
        thread.join();
    }
    for (auto& thread : ended) {
        thread.join();
    }
}

void ThreadPoolExecutor::work(std::list<std::thread>::iterator self) {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        const bool woken = wake_.wait_for(lock, options_.idleTimeout,
                                          [this] { return stopping_ || !tasks_.empty(); });
        --idle_;
        if (stopping_) {
            return;
        }
        if (!woken) {
            // Hands its own handle to whoever starts the next task or stops the pool.
            retired_.push_back(std::move(*self));
            workers_.erase(self);
            return;
        }
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
    }
}

}  // namespace zandorin::adapters
