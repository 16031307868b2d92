#pragma once

// What the tests of the Qt adapters share: a bounded event loop and a main that runs them on
// the offscreen platform under one application host.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include <QCoreApplication>
#include <QElapsedTimer>

#include "adapters/qt/QtApplicationHost.h"

namespace zandorin::test {

// Runs the event loop until `done` or the limit; whether `done` became true.
inline bool runUntil(const std::function<bool()>& done,
                     std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= limit.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The tests' main: `host` points at the application for as long as the tests run.
inline int runQtTests(int argc, char** argv, adapters::QtApplicationHost*& host) {
    ::testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    adapters::QtApplicationHost app(argc, argv);
    host = &app;
    const int status = RUN_ALL_TESTS();
    host = nullptr;
    return status;
}

}  // namespace zandorin::test
