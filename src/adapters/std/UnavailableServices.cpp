#include "adapters/std/UnavailableServices.h"

namespace zandorin::adapters {

void UnavailableRemoteNotifications::setDelegate(platform::RemoteNotificationsDelegate* delegate) {
    delegate_ = delegate;
}

void UnavailableRemoteNotifications::registerForRemoteNotifications() {
    if (delegate_) {
        delegate_->didFailToRegisterForRemoteNotifications("no push service on this desktop");
    }
}

}  // namespace zandorin::adapters
