#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace zandorin::test {

// What the fakes saw, in order, so that a test can check the order of platform calls.
class Events {
public:
    void add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<std::string> all() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The recorded events that start with one of the prefixes, in order.
    std::vector<std::string> matching(const std::vector<std::string>& prefixes) const {
        std::vector<std::string> out;
        for (const auto& event : all()) {
            if (std::any_of(prefixes.begin(), prefixes.end(),
                            [&](const std::string& p) { return event.starts_with(p); })) {
                out.push_back(event);
            }
        }
        return out;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

}  // namespace zandorin::test
