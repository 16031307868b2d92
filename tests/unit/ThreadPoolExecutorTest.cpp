// The real executor (the core's tests use a manual one); CI runs it under ThreadSanitizer too.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "adapters/process/ThreadPoolExecutor.h"

namespace zandorin::adapters {
namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 10s;  // a bound on every wait, never a measure

// Workers come with tasks, at most two, and here end once idle; none runs inside run(). stop()
// waits for the running tasks, drops the queued ones (and their captures) and takes no more.
TEST(ThreadPoolExecutorTest, RunsOffTheCallersThreadWithinTheLimitAndNothingAfterStop) {
    ThreadPoolExecutor executor({.maxWorkers = 2, .idleTimeout = 0ms});
    for (int round = 0; round < 8; ++round) {  // one at a time: the workers are gone each time
        std::promise<void> ran;
        executor.run([&ran] { ran.set_value(); });
        ASSERT_EQ(ran.get_future().wait_for(kPatience), std::future_status::ready) << round;
    }
    std::mutex mutex;
    int running = 0;
    int most = 0;
    int released = 0;
    std::promise<void> release;
    const auto go = release.get_future().share();
    for (int i = 0; i < 3; ++i) {
        executor.run([&, go] {
            {
                std::lock_guard lock(mutex);
                most = std::max(most, ++running);
            }
            const bool freed = go.wait_for(kPatience) == std::future_status::ready;
            std::lock_guard lock(mutex);
            released += freed ? 1 : 0;
        });
    }
    const auto started = [&] {
        std::lock_guard lock(mutex);
        return running;
    };
    for (int i = 0; i < 1000 && started() < 2; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    const auto captured = std::make_shared<int>(0);
    std::atomic<int> ranAfter{0};
    executor.run([&ranAfter, captured] { ++ranAfter; });
    std::jthread releaser([&] {
        std::this_thread::sleep_for(50ms);  // lets stop() begin waiting; passes either way
        release.set_value();
    });
    executor.stop();
    EXPECT_EQ(released, 2) << "ran inside run(), or was not waited for";
    EXPECT_EQ(most, 2);
    EXPECT_EQ(captured.use_count(), 1);
    executor.run([&ranAfter] { ++ranAfter; });
    EXPECT_EQ(ranAfter, 0);
}

}  // namespace
}  // namespace zandorin::adapters
