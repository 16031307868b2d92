#include "adapters/process/LocalNotificationCenter.h"

#include <vector>

namespace zandorin::adapters {

std::uint64_t LocalNotificationCenter::addObserver(const std::string& name,
                                                   std::function<void()> observer) {
    std::lock_guard lock(mutex_);
    const auto token = nextToken_++;
    observers_.emplace(token, Observer{name, std::move(observer)});
    return token;
}

void LocalNotificationCenter::removeObserver(std::uint64_t token) {
    std::lock_guard lock(mutex_);
    observers_.erase(token);
}

void LocalNotificationCenter::post(const std::string& name) {
    // Observers run without the lock, so that they may add or remove observers.
    std::vector<std::function<void()>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, observer] : observers_) {
            if (observer.name == name) {
                matching.push_back(observer.callback);
            }
        }
    }
    for (const auto& callback : matching) {
        callback();
    }
}

}  // namespace zandorin::adapters
