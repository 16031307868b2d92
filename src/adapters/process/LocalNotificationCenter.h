#pragma once

#include <map>
#include <mutex>

#include "platform/NotificationCenter.h"

namespace zandorin::adapters {

class LocalNotificationCenter final : public platform::NotificationCenter {
public:
    std::uint64_t addObserver(const std::string& name, std::function<void()> observer) override;
    void removeObserver(std::uint64_t token) override;
    void post(const std::string& name) override;

private:
    struct Observer {
        std::string name;
        std::function<void()> callback;
    };
    std::mutex mutex_;
    std::uint64_t nextToken_ = 1;
    std::map<std::uint64_t, Observer> observers_;
};

}  // namespace zandorin::adapters
