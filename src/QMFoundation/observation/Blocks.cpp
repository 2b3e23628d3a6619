#include <QMFoundation/observation/Blocks.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>

#include <QAbstractEventDispatcher>
#include <QThread>

#include <cmath>
#include <limits>

namespace {

constexpr double MinimumInterval = 0.0001;

// The clamped interval in whole milliseconds, rounded up so that the timer never fires early.
int intervalInMilliseconds(double seconds)
{
    // `!(a > b)` rather than `a <= b`: NaN fails every comparison and must be clamped too.
    if (!(seconds > MinimumInterval))
        seconds = MinimumInterval;
    const double milliseconds = std::ceil(seconds * 1000.0);
    constexpr int Longest = std::numeric_limits<int>::max();
    return milliseconds >= double(Longest) ? Longest : int(milliseconds);
}

} // namespace

namespace Blocks {

std::unique_ptr<QTimer> timerWithTimeInterval(double interval, bool repeats, Block block)
{
    QMParameterAssert(bool(block), "block");
    auto timer = std::make_unique<QTimer>();
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(intervalInMilliseconds(interval));
    timer->setSingleShot(!repeats);
    QTimer *const raw = timer.get();
    // The timer is the context: the block runs on the timer's thread and never after the timer.
    // Qt's event loop calls it, so nothing may leave it: a host's handler that returns leaves
    // the timer on its schedule.
    QObject::connect(raw, &QTimer::timeout, raw, [raw, block = std::move(block)] {
        QMUncaughtExceptions::invokeGuarded("a timer's block", [&] { block(raw); });
    });
    return timer;
}

QPointer<QTimer> scheduleTimerWithTimeInterval(double interval, bool repeats, Block block)
{
    QMParameterAssert(bool(block), "block");
    // Qt would only warn and leave a timer that never fires and that nothing frees.
    QMAssert(QAbstractEventDispatcher::instance() != nullptr,
             QStringLiteral("Timers can only be scheduled on a thread with an event loop"));
    QTimer *const timer = timerWithTimeInterval(interval, repeats, std::move(block)).release();
    if (!repeats) {
        // Connected after the block, so it runs after it; deferred, so the block may still use
        // the timer (or restart it, which keeps it alive only until this deletion).
        QObject::connect(timer, &QTimer::timeout, timer, &QObject::deleteLater);
    }
    // A QThread emits finished() on itself as it ends and then runs the deferred deletions, so
    // timers left on it are freed with it. (The application's thread never emits it.)
    QObject::connect(QThread::currentThread(), &QThread::finished, timer, &QObject::deleteLater);
    timer->start();
    return timer;
}

} // namespace Blocks
