#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include <QEvent>
#include <QObject>
#include <QThread>

#include "platform/MainQueue.h"

namespace zandorin::adapters {

// Runs the blocks posted to it, in posting order, on the thread it lives on.
class QtBlockRunner final : public QObject {
public:
    bool event(QEvent* event) override;
};

// The main thread's queue as posted events to a context object that lives on the main thread.
// Create and destroy on the main thread, with the QCoreApplication alive.
class QtMainQueue final : public platform::MainQueue {
public:
    QtMainQueue();
    ~QtMainQueue() override;

    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    // Drops the blocks still queued, and every one posted later: once the event loop has ended
    // they would run against objects on their way out. Timers stop too.
    void close();

    void post(std::function<void()> block) override;
    std::unique_ptr<platform::Timer> scheduleRepeating(std::chrono::milliseconds interval,
                                                       std::function<void()> action) override;
    bool isMainThread() const override;

private:
    QThread* mainThread_;
    std::mutex mutex_;  // guards context_ against a post() racing the destructor
    QtBlockRunner* context_;
};

}  // namespace zandorin::adapters
