#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace zandorin::platform {

// Process-local named notifications; observers run synchronously on the posting thread.
class NotificationCenter {
public:
    virtual ~NotificationCenter() = default;
    virtual std::uint64_t addObserver(const std::string& name, std::function<void()> observer) = 0;
    virtual void removeObserver(std::uint64_t token) = 0;
    virtual void post(const std::string& name) = 0;
};

}  // namespace zandorin::platform
