// The thread a keyring call runs on, driven by plain functions: no keyring needed.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "adapters/secretservice/Lane.h"

namespace zandorin::adapters {
namespace {

TEST(LaneTest, AGivenUpCallHoldsTheLaneOnlyUntilItReturnsAndOneNotYetStartedNeverRuns) {
    std::function<void()> whenGivenUp = [] {};
    int givenUp = 0;
    Lane lane([&] {
        ++givenUp;
        whenGivenUp();
    });
    const auto now = [] { return Lane::Clock::now(); };
    const auto later = [] { return Lane::Clock::now() + std::chrono::seconds(30); };
    // The lane's thread has finished whatever came before.
    const auto drained = [&] {
        return lane.post<int>([] { return 0; })->wait(later()).has_value();
    };
    // Whether the abandoned call returns before its caller has marked it abandoned.
    for (const bool returnsFirst : {true, false}) {
        std::promise<void> started;
        std::promise<void> release;
        whenGivenUp = [&, hasStarted = started.get_future().share()] {
            hasStarted.wait();
            if (returnsFirst) {
                release.set_value();
                EXPECT_TRUE(drained());
            }
        };
        EXPECT_EQ(lane.call(now(), -1,
                            [&started, go = release.get_future().share()] {
                                started.set_value();
                                go.wait();
                                return 1;
                            }),
                  -1);
        whenGivenUp = [] {};
        if (!returnsFirst) {
            const int before = givenUp;
            EXPECT_EQ(lane.call(later(), -1, [] { return 2; }), -1);
            EXPECT_EQ(givenUp, before) << "it waited behind the abandoned call";
            release.set_value();
            EXPECT_TRUE(drained());
        }
        EXPECT_EQ(lane.call(later(), -1, [] { return 3; }), 3) << returnsFirst;
    }
    std::promise<void> release;
    std::promise<void> holding;
    lane.post<int>([&holding, go = release.get_future().share()] {
        holding.set_value();
        go.wait();
        return 0;
    });
    holding.get_future().wait();  // the lane is held, not merely asked
    bool ran = false;
    EXPECT_EQ(lane.call(now(), -1,
                        [&ran] {
                            ran = true;
                            return 4;
                        }),
              -1);
    const int before = givenUp;
    EXPECT_EQ(lane.call(later(), -1, [] { return 6; }), -1);
    EXPECT_EQ(givenUp, before) << "it waited behind the work that held the lane";
    release.set_value();
    EXPECT_TRUE(drained());
    EXPECT_FALSE(ran);
    // On quit, a wait on a call that hangs, or a later call, ends at the cut-off.
    std::promise<void> hang;
    const auto hung = lane.post<int>([go = hang.get_future().share()] {
        go.wait();
        return 5;
    });
    auto waiting = std::async(std::launch::async, [&] { return hung->wait(later()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // passes either way
    lane.giveUpBy(now());
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(lane.call(later(), -1, [] { return 6; }), -1);
    hang.set_value();
}

}  // namespace
}  // namespace zandorin::adapters
