#include "adapters/qt/QtMainQueue.h"

#include <algorithm>
#include <limits>
#include <utility>

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>

namespace zandorin::adapters {

namespace {

// Below a second a timer is about responsiveness; above it (refresh, expiry checks) a few
// percent of slack lets the kernel batch wake-ups.
constexpr std::chrono::milliseconds kPreciseBelow{1000};

class QtRepeatingTimer final : public platform::Timer {
public:
    QtRepeatingTimer(QObject* parent, std::chrono::milliseconds interval,
                     std::function<void()> action)
        : timer_(new QTimer(parent)), live_(std::make_shared<bool>(true)) {
        const auto ms = std::clamp<std::chrono::milliseconds::rep>(interval.count(), 0,
                                                                   std::numeric_limits<int>::max());
        timer_->setInterval(static_cast<int>(ms));
        timer_->setTimerType(interval < kPreciseBelow ? Qt::PreciseTimer : Qt::CoarseTimer);
        // The action may invalidate or destroy this handle; the QTimer and this closure
        // outlive that call (deleteLater), and the flag keeps a stopped timer silent.
        QObject::connect(timer_, &QTimer::timeout, timer_,
                         [live = live_, action = std::move(action)] {
                             if (*live && action) {
                                 action();
                             }
                         });
        timer_->start();
    }

    ~QtRepeatingTimer() override { invalidate(); }

    QtRepeatingTimer(const QtRepeatingTimer&) = delete;
    QtRepeatingTimer& operator=(const QtRepeatingTimer&) = delete;

    void invalidate() override {
        *live_ = false;
        if (QTimer* timer = timer_.data()) {
            timer_.clear();
            timer->stop();
            timer->deleteLater();
        }
    }

private:
    QPointer<QTimer> timer_;  // null once invalidated, or once the queue is gone
    std::shared_ptr<bool> live_;
};

}  // namespace

QtMainQueue::QtMainQueue() : mainThread_(QThread::currentThread()), context_(new QObject) {}

QtMainQueue::~QtMainQueue() {
    QObject* context = nullptr;
    {
        std::lock_guard lock(mutex_);
        context = std::exchange(context_, nullptr);
    }
    // Drops blocks still queued and stops the timers that were not invalidated.
    delete context;
}

void QtMainQueue::post(std::function<void()> block) {
    if (!block) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (context_ == nullptr) {
        return;
    }
    // Posted events to one receiver are delivered in the order they were posted.
    QMetaObject::invokeMethod(
        context_, [block = std::move(block)] { block(); }, Qt::QueuedConnection);
}

std::unique_ptr<platform::Timer> QtMainQueue::scheduleRepeating(
    std::chrono::milliseconds interval, std::function<void()> action) {
    return std::make_unique<QtRepeatingTimer>(context_, interval, std::move(action));
}

bool QtMainQueue::isMainThread() const { return QThread::currentThread() == mainThread_; }

}  // namespace zandorin::adapters
