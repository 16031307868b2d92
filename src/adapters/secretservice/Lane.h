#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace zandorin::adapters {

// One thread of its own that runs calls in turn, so that a caller can stop waiting for one
// that does not come back. The thread starts with the first call: a lane that is never used
// (the unlock prompt's, on most days) costs none. Nothing here knows the keyring: work is any
// callable.
class Lane {
public:
    using Clock = std::chrono::steady_clock;

    // What a caller waits on; giveUpBy() may bring its end forward.
    struct Waiter {
        std::mutex mutex;
        std::condition_variable done;
        Clock::time_point cutoff = Clock::time_point::max();

        void cut(Clock::time_point latest) {
            {
                std::lock_guard lock(mutex);
                cutoff = std::min(cutoff, latest);
            }
            done.notify_all();
        }
    };

    // A call's outcome, shared by the lane and whoever waits for it.
    template <typename Result>
    struct Pending : Waiter {
        std::optional<Result> result;

        // Nothing when the deadline, or the lane's cut-off, passed first.
        std::optional<Result> wait(Clock::time_point deadline) {
            std::unique_lock lock(mutex);
            while (!result) {
                const auto until = std::min(deadline, cutoff);
                if (Clock::now() >= until) {
                    return std::nullopt;
                }
                done.wait_until(lock, until);
            }
            return result;
        }
    };

    // `afterGivingUp` runs in the caller right after it stopped waiting for a call, before the
    // lane hears of it: a test uses it to let the call return in between.
    explicit Lane(std::function<void()> afterGivingUp = {})
        : queue_(std::make_shared<Queue>()), afterGivingUp_(std::move(afterGivingUp)) {}

    ~Lane() {
        {
            std::lock_guard lock(queue_->mutex);
            queue_->stopping = true;
        }
        queue_->wake.notify_one();
    }

    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;

    // On the way out: callers waiting now, and later ones, wait no longer than `latest`. The
    // call itself may go on; its thread is not waited for.
    void giveUpBy(Clock::time_point latest) {
        std::vector<std::shared_ptr<Waiter>> waiters;
        {
            std::lock_guard lock(queue_->mutex);
            queue_->cutoff = std::min(queue_->cutoff, latest);
            if (queue_->running) {
                waiters.push_back(queue_->running->waiter);
            }
            for (const auto& job : queue_->jobs) {
                waiters.push_back(job->waiter);
            }
        }
        for (const auto& waiter : waiters) {
            waiter->cut(latest);
        }
    }

    template <typename Result, typename Work>
    std::shared_ptr<Pending<Result>> post(Work work) {
        return enqueue<Result>(std::move(work)).first;
    }

    // Runs the work on the lane and waits for it until the deadline; after that `cancel` runs
    // and the answer is dropped. While the work that held the lane when a caller gave up still
    // runs, later calls fail at once instead of queueing behind it: work that hangs costs one
    // deadline, not one per call. A given-up call that has not started never does.
    template <typename Result, typename Work>
    Result call(Clock::time_point deadline, Result onTimeout, Work work,
                const std::function<void()>& cancel = {}) {
        {
            std::lock_guard lock(queue_->mutex);
            if (queue_->running && queue_->running->abandoned) {
                return onTimeout;
            }
        }
        auto [pending, job] = enqueue<Result>(std::move(work));
        if (auto result = pending->wait(deadline)) {
            return std::move(*result);
        }
        if (afterGivingUp_) {
            afterGivingUp_();
        }
        {
            std::lock_guard lock(queue_->mutex);
            job->abandoned = true;
            // A call still queued waited on the work running ahead of it: later callers need
            // not wait for that work too.
            if (queue_->running && std::ranges::find(queue_->jobs, job) != queue_->jobs.end()) {
                queue_->running->abandoned = true;
            }
        }
        if (cancel) {
            cancel();
        }
        return onTimeout;
    }

private:
    struct Job {
        std::function<void()> run;
        std::shared_ptr<Waiter> waiter;
        bool abandoned = false;  // under Queue::mutex
    };

    // Outlives the lane: the thread may still be inside an abandoned call when the lane goes.
    struct Queue {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::shared_ptr<Job>> jobs;
        std::shared_ptr<Job> running;  // the job on the thread now, if any
        Clock::time_point cutoff = Clock::time_point::max();
        bool stopping = false;
        bool started = false;  // the thread

        void run() {
            std::unique_lock lock(mutex);
            while (true) {
                wake.wait(lock, [this] { return stopping || !jobs.empty(); });
                if (stopping) {
                    return;
                }
                running = std::move(jobs.front());
                jobs.pop_front();
                if (!running->abandoned) {
                    lock.unlock();
                    running->run();
                    lock.lock();
                }
                running.reset();
            }
        }
    };

    template <typename Result, typename Work>
    std::pair<std::shared_ptr<Pending<Result>>, std::shared_ptr<Job>> enqueue(Work work) {
        auto pending = std::make_shared<Pending<Result>>();
        auto job = std::make_shared<Job>();
        job->waiter = pending;
        job->run = [pending, work = std::move(work)]() mutable {
            Result result = work();
            {
                std::lock_guard lock(pending->mutex);
                pending->result = std::move(result);
            }
            pending->done.notify_all();
        };
        {
            std::lock_guard lock(queue_->mutex);
            pending->cutoff = queue_->cutoff;  // nobody else sees it yet
            queue_->jobs.push_back(job);
            if (!std::exchange(queue_->started, true)) {
                std::thread([queue = queue_] { queue->run(); }).detach();
            }
        }
        queue_->wake.notify_one();
        return {pending, job};
    }

    std::shared_ptr<Queue> queue_;
    std::function<void()> afterGivingUp_;
};

}  // namespace zandorin::adapters
