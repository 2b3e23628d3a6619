#include <QMFoundation/observation/Blocks.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/operations/QMAsync.h>

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

// A timer of `block`, not running, on the calling thread (see timerWithTimeInterval()).
std::unique_ptr<QTimer> makeTimer(double interval, bool repeats, Blocks::Block block)
{
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

// Starts `timer` on its own thread, the calling one; a one-shot timer deletes itself once it
// has fired.
void startOwnTimer(QTimer *timer, bool repeats)
{
    if (!repeats) {
        // Connected after the block, so it runs after it; deferred, so the block may still use
        // the timer (or restart it, which keeps it alive only until this deletion).
        QObject::connect(timer, &QTimer::timeout, timer, &QObject::deleteLater);
    }
    timer->start();
}

} // namespace

namespace Blocks {

std::unique_ptr<QTimer> timerWithTimeInterval(double interval, bool repeats, Block block)
{
    QMParameterAssert(bool(block), "block");
    return makeTimer(interval, repeats, std::move(block));
}

QPointer<QTimer> scheduleTimerWithTimeInterval(double interval, bool repeats, Block block)
{
    QMParameterAssert(bool(block), "block");
    // Qt would only warn and leave a timer that never fires and that nothing frees.
    QMAssert(QAbstractEventDispatcher::instance() != nullptr,
             QStringLiteral("Timers can only be scheduled on a thread with an event loop"));
    QTimer *const timer = makeTimer(interval, repeats, std::move(block)).release();
    // A QThread emits finished() on itself as it ends and then runs the deferred deletions, so
    // timers left on it are freed with it. (The application's thread never emits it.)
    QObject::connect(QThread::currentThread(), &QThread::finished, timer, &QObject::deleteLater);
    startOwnTimer(timer, repeats);
    return timer;
}

QPointer<QTimer> timerWithTimeInterval(double interval, bool repeats, QObject *context, Block block)
{
    QMParameterAssert(context != nullptr, "context");
    QMParameterAssert(bool(block), "block");
    QMAssert(context->thread() == QThread::currentThread(),
             QStringLiteral("A timer with a context is made on the context's thread"));
    QTimer *const timer = makeTimer(interval, repeats, std::move(block)).release();
    timer->setParent(context);
    return timer;
}

QPointer<QTimer> scheduleTimerWithTimeInterval(double interval, bool repeats, QObject *context,
                                               Block block)
{
    QMParameterAssert(context != nullptr, "context");
    QMParameterAssert(bool(block), "block");
    std::unique_ptr<QTimer> made = makeTimer(interval, repeats, std::move(block));
    // Taken before the timer can start, fire and go on the context's thread.
    QPointer<QTimer> timer = made.get();
    if (context->thread() == QThread::currentThread()) {
        QTimer *const own = made.release();
        own->setParent(context);
        startOwnTimer(own, repeats);
        return timer;
    }
    // Handed to the context's thread, where it is parented and started; a hand-over dropped
    // with the context deletes the timer unstarted, on that thread.
    made->moveToThread(context->thread());
    auto handed = std::make_shared<std::unique_ptr<QTimer>>(std::move(made));
    QMAsync::invokeOnContext(
            context,
            [context, handed, repeats] {
                QTimer *const own = handed->release();
                own->setParent(context);
                startOwnTimer(own, repeats);
            },
            "starting a timer on its context's thread");
    return timer;
}

} // namespace Blocks
