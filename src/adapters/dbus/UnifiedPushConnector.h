#pragma once

#include <memory>
#include <string>

#include "platform/RemoteNotifications.h"

namespace zandorin::adapters {

// Remote notifications through a UnifiedPush distributor on the session bus. The application
// owns `serviceName` on the bus and answers at /org/unifiedpush/Connector (Connector2 and
// Connector1); it registers with the first distributor found (Distributor2, else
// Distributor1). The endpoint the distributor hands out is the device token; messages for our
// connection token reach the delegate. The connection token persists in `tokenFile`, so that
// every start asks for the same registration. Create, use and destroy on the main thread,
// with the Qt application alive; nothing here blocks.
class UnifiedPushConnector final : public platform::RemoteNotifications {
public:
    UnifiedPushConnector(std::string serviceName, std::string description, std::string tokenFile);
    ~UnifiedPushConnector() override;

    UnifiedPushConnector(const UnifiedPushConnector&) = delete;
    UnifiedPushConnector& operator=(const UnifiedPushConnector&) = delete;

    // $XDG_DATA_HOME (or ~/.local/share, the home from the password database when HOME is
    // unset) /zandorin-auth/unifiedpush-token; empty without a home: the token then lasts
    // this run only.
    static std::string defaultTokenFile();

    void setDelegate(platform::RemoteNotificationsDelegate* delegate) override;

    // Fails through the delegate when there is no bus, the name is taken, no distributor is
    // found or the distributor refuses; succeeds when the distributor calls NewEndpoint.
    void registerForRemoteNotifications() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zandorin::adapters
