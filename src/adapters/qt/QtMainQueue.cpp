#include "adapters/qt/QtMainQueue.h"

#include <algorithm>
#include <limits>
#include <utility>

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

namespace zandorin::adapters {

namespace {

// Below a second a timer is about responsiveness; above it (refresh, expiry checks) a few
// percent of slack lets the kernel batch wake-ups.
constexpr std::chrono::milliseconds kPreciseBelow{1000};

class BlockEvent final : public QEvent {
public:
    static QEvent::Type eventType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }

    explicit BlockEvent(std::function<void()> block)
        : QEvent(eventType()), block_(std::move(block)) {}

    void run() const { block_(); }

private:
    std::function<void()> block_;
};

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

class InertTimer final : public platform::Timer {
public:
    void invalidate() override {}
};

}  // namespace

bool QtBlockRunner::event(QEvent* event) {
    if (event->type() == BlockEvent::eventType()) {
        static_cast<const BlockEvent*>(event)->run();
        return true;
    }
    return QObject::event(event);
}

QtMainQueue::QtMainQueue() : mainThread_(QThread::currentThread()), context_(new QtBlockRunner) {}

QtMainQueue::~QtMainQueue() {
    close();
}

void QtMainQueue::close() {
    QtBlockRunner* context = nullptr;
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
    QCoreApplication::postEvent(context_, new BlockEvent(std::move(block)));
}

std::unique_ptr<platform::Timer> QtMainQueue::scheduleRepeating(std::chrono::milliseconds interval,
                                                                std::function<void()> action) {
    if (context_ == nullptr) {  // closed: a timer without a parent would never be freed
        return std::make_unique<InertTimer>();
    }
    return std::make_unique<QtRepeatingTimer>(context_, interval, std::move(action));
}

bool QtMainQueue::isMainThread() const {
    return QThread::currentThread() == mainThread_;
}

}  // namespace zandorin::adapters
