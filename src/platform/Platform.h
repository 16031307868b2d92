#pragma once

#include "platform/Alert.h"
#include "platform/Application.h"
#include "platform/BackgroundExecutor.h"
#include "platform/BundleInfo.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Crypto.h"
#include "platform/HttpClient.h"
#include "platform/Keychain.h"
#include "platform/MainQueue.h"
#include "platform/RemoteNotifications.h"
#include "platform/StateFlags.h"
#include "platform/StatusItem.h"
#include "platform/SystemEvents.h"
#include "platform/SystemLog.h"
#include "platform/Url.h"
#include "platform/UserNotifications.h"
#include "platform/WebAuthSession.h"
#include "platform/Workspace.h"

namespace zandorin::platform {

// Every port the core talks to, built once by the composition root (or by a test).
struct Platform {
    Application& application;
    MainQueue& mainQueue;
    Clock& clock;
    BackgroundExecutor& executor;
    HttpClient& http;
    Keychain& keychain;
    KeychainMonitor& keychainMonitor;
    BundleInfo& bundle;
    StatusBar& statusBar;
    Alerts& alerts;
    Workspace& workspace;
    WebAuthSessionFactory& webAuth;
    UserNotificationCenter& userNotifications;
    RemoteNotifications& remoteNotifications;
    SystemLog& systemLog;
    Console& console;
    UrlParser& urls;
    Crypto& crypto;
    SystemEvents& systemEvents;
    StateFlags& stateFlags;
};

}  // namespace zandorin::platform
