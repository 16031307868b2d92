// The thread a keyring call runs on, driven by plain functions: no keyring needed.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>

#include "adapters/secretservice/Lane.h"

namespace zandorin::adapters {
namespace {

using namespace std::chrono_literals;

TEST(LaneTest, AGivenUpCallHoldsTheLaneOnlyUntilItReturnsAndOneNotYetStartedNeverRuns) {
    std::function<void()> whenGivenUp;
    int givenUp = 0;
    Lane lane([&] {
        ++givenUp;
        if (whenGivenUp) {
            whenGivenUp();
        }
    });
    // Far beyond any call that is not meant to wait.
    const auto later = [] { return Lane::Clock::now() + 30s; };
    const auto drained = [&] {
        return lane.post<int>([] { return 0; })->wait(later()).has_value();
    };
    // Whether the abandoned call returns before its caller has marked it abandoned.
    for (const bool returnsFirst : {true, false}) {
        SCOPED_TRACE(returnsFirst ? "returns first" : "still running");
        std::promise<void> started;
        std::promise<void> release;
        auto hasStarted = started.get_future();
        whenGivenUp = [&] {
            hasStarted.wait();
            if (returnsFirst) {
                release.set_value();
                EXPECT_TRUE(drained());
            }
        };
        const auto hang = [&started, go = release.get_future().share()] {
            started.set_value();
            go.wait();
            return 1;
        };
        EXPECT_EQ(lane.call(Lane::Clock::now(), -1, hang), -1);
        if (!returnsFirst) {
            whenGivenUp = nullptr;
            const int before = givenUp;
            EXPECT_EQ(lane.call(later(), -1, [] { return 2; }), -1);
            EXPECT_EQ(givenUp, before) << "it waited behind the abandoned call";
            release.set_value();
            EXPECT_TRUE(drained());
        }
        EXPECT_EQ(lane.call(later(), -1, [] { return 3; }), 3);
    }

    whenGivenUp = nullptr;
    std::promise<void> release;
    lane.post<int>([go = release.get_future().share()] {
        go.wait();
        return 0;
    });
    bool ran = false;
    EXPECT_EQ(lane.call(Lane::Clock::now(), -1,
                        [&ran] {
                            ran = true;
                            return 4;
                        }),
              -1);
    release.set_value();
    EXPECT_TRUE(drained());
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace zandorin::adapters
