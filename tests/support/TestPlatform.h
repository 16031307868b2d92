#pragma once

#include "adapters/std/LocalNotificationCenter.h"
#include "platform/Platform.h"
#include "support/Events.h"
#include "support/FakeMainQueue.h"
#include "support/FakeServices.h"

namespace zandorin::test {

// Every port backed by a fake, bundled the way the composition root bundles the real ones.
struct TestPlatform {
    Events events;
    FakeApplication application{events};
    FakeMainQueue mainQueue{events};
    ManualExecutor executor;
    ScriptedHttpClient http;
    InMemoryKeychain keychain{events};
    FakeBundleInfo bundle;
    FakeStatusBar statusBar{events};
    FakeAlerts alerts{events};
    FakeWorkspace workspace{events};
    FakeWebAuthSessionFactory webAuth{events};
    FakeUserNotificationCenter userNotifications{events};
    FakeRemoteNotifications remoteNotifications{events};
    FakeSystemLog systemLog;
    FakeConsole console;
    adapters::LocalNotificationCenter notificationCenter;
    SimpleUrlParser urls;

    platform::Platform platform{application,
                                mainQueue,
                                mainQueue,
                                executor,
                                http,
                                keychain,
                                bundle,
                                statusBar,
                                alerts,
                                workspace,
                                webAuth,
                                userNotifications,
                                remoteNotifications,
                                systemLog,
                                console,
                                notificationCenter,
                                urls};
};

}  // namespace zandorin::test
