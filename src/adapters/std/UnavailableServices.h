#pragma once

#include "platform/RemoteNotifications.h"

namespace zandorin::adapters {

// Stand-ins for services this desktop does not offer: each fails plainly instead of pretending.

class UnavailableRemoteNotifications final : public platform::RemoteNotifications {
public:
    void setDelegate(platform::RemoteNotificationsDelegate* delegate) override;
    void registerForRemoteNotifications() override;

private:
    platform::RemoteNotificationsDelegate* delegate_ = nullptr;
};

}  // namespace zandorin::adapters
