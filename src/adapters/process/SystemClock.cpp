#include "adapters/process/SystemClock.h"

namespace zandorin::adapters {

std::chrono::system_clock::time_point SystemClock::now() const {
    return std::chrono::system_clock::now();
}

}  // namespace zandorin::adapters
