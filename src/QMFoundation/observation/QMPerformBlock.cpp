#include <QMFoundation/observation/QMPerformBlock.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/operations/QMAsyncContext.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include <QTimer>

#include <chrono>
#include <cmath>
#include <limits>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(double delay)
{
    const Clock::time_point now = Clock::now();
    const double nanoseconds = std::trunc(delay * 1e9);
    // NaN fails the comparison: it waits for nothing, as a negative delay does.
    if (!(nanoseconds > 0.0))
        return now;
    const auto room = (Clock::time_point::max() - now).count();
    if (nanoseconds >= double(room))
        return Clock::time_point::max();
    return now + std::chrono::nanoseconds(std::chrono::nanoseconds::rep(nanoseconds));
}

// The wait until `deadline`, in QTimer's int milliseconds, rounded up; 0 once it has passed.
int millisecondsUntil(Clock::time_point deadline)
{
    const Clock::time_point now = Clock::now();
    if (now >= deadline)
        return 0;
    const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return remaining >= std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                        : int(remaining);
}

// Runs on the application's thread: waits for the deadline with as many timers as QTimer's
// int milliseconds need, each rounded up, then runs the block.
void runAt(Clock::time_point deadline, std::function<void()> block)
{
    const int wait = millisecondsUntil(deadline);
    if (wait == 0) {
        QMUncaughtExceptions::invokeGuarded("a block performed on the main thread", block);
        return;
    }
    // No context object: the block belongs to no receiver whose destruction should cancel it,
    // and the timer runs on this thread, the application's, like the block.
    QTimer::singleShot( // clazy:exclude=connect-3arg-lambda
            wait, Qt::PreciseTimer,
            [deadline, block = std::move(block)]() mutable { runAt(deadline, std::move(block)); });
}

// runAt() on `context`'s thread, with timers that have the context as their receiver: Qt drops
// them, and so the block, when the context is destroyed.
void runOnContextAt(QObject *context, Clock::time_point deadline, std::function<void()> block)
{
    const int wait = millisecondsUntil(deadline);
    if (wait == 0) {
        QMUncaughtExceptions::invokeGuarded("a block performed on a context's thread", block);
        return;
    }
    QTimer::singleShot(wait, Qt::PreciseTimer, context,
                       [context, deadline, block = std::move(block)]() mutable {
                           runOnContextAt(context, deadline, std::move(block));
                       });
}

} // namespace

namespace QMPerformBlock {

void performBlockOnMainThread(std::function<void()> block, double delay)
{
    QMParameterAssert(bool(block), "block");
    const Clock::time_point deadline = deadlineAfter(delay);
    // The main queue hands the block over through a lock and an event of the application's
    // loop, never inline; the timer, if any, is then made on that thread.
    QMOperationQueue::mainQueue()->performBlock(
            [deadline, block = std::move(block)]() mutable { runAt(deadline, std::move(block)); });
}

void performBlockOnMainThread(QObject *context, std::function<void()> block, double delay)
{
    QMParameterAssert(context != nullptr, "context");
    QMParameterAssert(bool(block), "block");
    const Clock::time_point deadline = deadlineAfter(delay);
    // Posted even on the context's thread, so the block never runs inside this call; the event
    // belongs to the context and goes with it.
    QMAsync::postToContext(
            context,
            [context, deadline, block = std::move(block)]() mutable {
                runOnContextAt(context, deadline, std::move(block));
            },
            "a block performed on a context's thread");
}

} // namespace QMPerformBlock
