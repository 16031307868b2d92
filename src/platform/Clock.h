#pragma once

#include <chrono>

namespace zandorin::platform {

// Wall-clock time, so that expiry can be judged against a virtual clock in tests.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::system_clock::time_point now() const = 0;
};

}  // namespace zandorin::platform
