#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "platform/MainQueue.h"

namespace zandorin {

// Posts blocks from any thread to the main queue for an object that may be gone by the time
// they run: a block runs only while its owner's Lifetime lives. Tasks hold a copy of one
// instead of the owner's `this`.
class MainPoster {
public:
    MainPoster(platform::MainQueue& queue, std::weak_ptr<const bool> owner)
        : queue_(&queue), owner_(std::move(owner)) {}

    void operator()(std::function<void()> block) const {
        queue_->post([owner = owner_, block = std::move(block)] {
            if (owner.lock()) {
                block();
            }
        });
    }

private:
    platform::MainQueue* queue_;
    std::weak_ptr<const bool> owner_;
};

// Held by an owner; what it hands out stops working once the owner is gone.
class Lifetime {
public:
    MainPoster poster(platform::MainQueue& queue) const { return {queue, token_}; }
    std::weak_ptr<const bool> token() const { return token_; }

private:
    std::shared_ptr<const bool> token_ = std::make_shared<const bool>(true);
};

}  // namespace zandorin
