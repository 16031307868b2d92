#pragma once

#include "adapters/process/LocalNotificationCenter.h"
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
    ScriptedHttpClient http{events};
    InMemoryKeychain keychain{events};
    FakeKeychainMonitor keychainMonitor;
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
    FakeCrypto crypto;

    platform::Platform platform{
        .application = application,
        .mainQueue = mainQueue,
        .clock = mainQueue,
        .executor = executor,
        .http = http,
        .keychain = keychain,
        .keychainMonitor = keychainMonitor,
        .bundle = bundle,
        .statusBar = statusBar,
        .alerts = alerts,
        .workspace = workspace,
        .webAuth = webAuth,
        .userNotifications = userNotifications,
        .remoteNotifications = remoteNotifications,
        .systemLog = systemLog,
        .console = console,
        .notificationCenter = notificationCenter,
        .urls = urls,
        .crypto = crypto,
    };
};

}  // namespace zandorin::test
