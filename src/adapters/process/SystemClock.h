#pragma once

#include "platform/Clock.h"

namespace zandorin::adapters {

class SystemClock final : public platform::Clock {
public:
    std::chrono::system_clock::time_point now() const override;
};

}  // namespace zandorin::adapters
