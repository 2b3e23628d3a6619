// The Qt signals of operations and queues: their order among the blocks and observers, their
// threads, and that no lock is held while they are emitted.

#include "OperationsTestSupport.h"
#include "support/CaughtExceptions.h"
#include <QMFoundation/operations/QMBlockOperation.h>
#include <QMFoundation/operations/QMOperationNotifier.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <gtest/gtest.h>

using OperationsTestSupport::Gate;
using OperationsTestSupport::Log;
using namespace Qt::StringLiterals;

namespace {

/// Connects `log` directly to every signal of `operation`, recording the emitting thread's
/// relation to `expected` as well.
void record(const std::shared_ptr<QMBaseOperation> &operation, Log &log)
{
    QMOperationNotifier *const notifier = operation->notifier();
    QObject::connect(
            notifier, &QMOperationNotifier::started, notifier, [&log] { log.append(u"started"_s); },
            Qt::DirectConnection);
    QObject::connect(
            notifier, &QMOperationNotifier::finished, notifier,
            [&log, weak = std::weak_ptr<QMBaseOperation>(operation)] {
                // No lock of the operation is held: its state can be read from the slot.
                const auto self = weak.lock();
                log.append(self && self->isFinished() ? u"finished"_s : u"finished early"_s);
            },
            Qt::DirectConnection);
    QObject::connect(
            notifier, &QMOperationNotifier::cancelled, notifier,
            [&log] { log.append(u"cancelled"_s); }, Qt::DirectConnection);
}

std::shared_ptr<QMBlockOperation> loggingOperation(Log &log)
{
    auto operation = QMBlockOperation::blockOperationWithBlock([&log] { log.append(u"main"_s); });
    operation->addExecutingObserver(
            [&log](bool executing) { log.append(executing ? u"executing"_s : u"executed"_s); });
    operation->setCompletionBlock([&log] { log.append(u"completion"_s); });
    record(operation, log);
    return operation;
}

/// Runs the event loop until `condition` holds (at most 10 s).
bool runEventsUntil(const std::function<bool()> &condition)
{
    const QDeadlineTimer deadline(10000);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return condition();
}

} // namespace

TEST(OperationNotifierTest, SignalsFollowTheObserversAndTheCompletionBlock)
{
    // Started directly, on a queue, and cancelled before it started (no started()).
    const std::tuple<const char *, bool, bool, QStringList> rows[] = {
            {"start()",
             false,
             false,
             {u"executing"_s, u"started"_s, u"main"_s, u"executed"_s, u"completion"_s,
              u"finished"_s}},
            {"on a queue",
             true,
             false,
             {u"executing"_s, u"started"_s, u"main"_s, u"executed"_s, u"completion"_s,
              u"finished"_s, u"queue finished"_s, u"idle"_s}},
            {"cancelled on a queue",
             true,
             true,
             {u"cancelled"_s, u"completion"_s, u"finished"_s, u"queue finished"_s, u"idle"_s}},
    };
    for (const auto &[what, onQueue, cancelFirst, expected] : rows) {
        SCOPED_TRACE(what);
        Log log;
        const auto operation = loggingOperation(log);
        if (!onQueue) {
            operation->start();
            EXPECT_EQ(log.entries(), expected);
            continue;
        }
        const auto queue = QMOperationQueue::serialQueue();
        QMOperationQueueNotifier *const notifier = queue->notifier();
        EXPECT_EQ(queue->notifier(), notifier); // one per queue
        Gate idle;
        QObject::connect(
                notifier, &QMOperationQueueNotifier::operationFinished, notifier,
                [&](const std::shared_ptr<QMBaseOperation> &finished) {
                    log.append(finished == operation ? u"queue finished"_s : u"another"_s);
                },
                Qt::DirectConnection);
        QObject::connect(
                notifier, &QMOperationQueueNotifier::becameIdle, notifier,
                [&] {
                    // Not under the queue's lock either.
                    log.append(queue->operationCount() == 0 ? u"idle"_s : u"busy"_s);
                    idle.open();
                },
                Qt::DirectConnection);
        if (cancelFirst)
            operation->cancel();
        queue->addOperation(operation);
        idle.wait();
        queue->waitUntilAllOperationsAreFinished();
        EXPECT_EQ(log.entries(), expected);
    }
}

TEST(OperationNotifierTest, CancelledComesOnceFromTheCancellingThreadAlsoWhileRunning)
{
    Log log;
    Gate running;
    Gate release;
    const auto operation = QMBlockOperation::blockOperationWithBlock([&] {
        running.open();
        release.wait();
    });
    std::atomic<QThread *> cancelledOn = nullptr;
    QObject::connect(
            operation->notifier(), &QMOperationNotifier::cancelled, operation->notifier(),
            [&] {
                cancelledOn = QThread::currentThread();
                log.append(u"cancelled"_s);
            },
            Qt::DirectConnection);
    const auto queue = QMOperationQueue::serialQueue();
    queue->addOperation(operation);
    running.wait();
    operation->cancel();
    operation->cancel();
    release.open();
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(log.entries(), QStringList {u"cancelled"_s});
    EXPECT_EQ(cancelledOn.load(), QThread::currentThread());
}

TEST(OperationNotifierTest, BecameIdleComesAfterEveryOperationFinishedOfAWideQueue)
{
    const auto queue = QMOperationQueue::queueWithMaxConcurrentOperationCount(4);
    Log log;
    Gate idle;
    QMOperationQueueNotifier *const notifier = queue->notifier();
    QObject::connect(
            notifier, &QMOperationQueueNotifier::operationFinished, notifier,
            [&](const std::shared_ptr<QMBaseOperation> &) { log.append(u"finished"_s); },
            Qt::DirectConnection);
    QObject::connect(
            notifier, &QMOperationQueueNotifier::becameIdle, notifier,
            [&] {
                log.append(u"idle"_s);
                idle.open();
            },
            Qt::DirectConnection);
    // Held until all are added, so that the queue is idle only once, after all of them.
    Gate release;
    constexpr int Count = 8;
    for (int i = 0; i < Count; ++i)
        queue->addOperationWithBlock([&] { release.wait(); });
    release.open();
    idle.wait();
    queue->waitUntilAllOperationsAreFinished();
    QStringList expected(Count, u"finished"_s);
    expected.append(u"idle"_s);
    EXPECT_EQ(log.entries(), expected);
}

TEST(OperationNotifierTest, AConnectionToAnObjectOfThisThreadIsQueuedHere)
{
    const auto queue = QMOperationQueue::serialQueue();
    QObject receiver;
    const auto operation = QMBlockOperation::blockOperationWithBlock([] {});
    QThread *finishedOn = nullptr;
    QThread *idleOn = nullptr;
    QObject::connect(operation->notifier(), &QMOperationNotifier::finished, &receiver,
                     [&] { finishedOn = QThread::currentThread(); });
    // Across threads by value: the operation travels in the queued call.
    std::shared_ptr<QMBaseOperation> delivered;
    QObject::connect(
            queue->notifier(), &QMOperationQueueNotifier::operationFinished, &receiver,
            [&](const std::shared_ptr<QMBaseOperation> &finished) { delivered = finished; });
    QObject::connect(queue->notifier(), &QMOperationQueueNotifier::becameIdle, &receiver,
                     [&] { idleOn = QThread::currentThread(); });
    queue->addOperation(operation);
    ASSERT_TRUE(runEventsUntil([&] { return idleOn != nullptr; }));
    EXPECT_EQ(finishedOn, QThread::currentThread());
    EXPECT_EQ(idleOn, QThread::currentThread());
    EXPECT_EQ(delivered, operation);
}

TEST(OperationNotifierTest, ASlotThatThrowsGoesToTheUncaughtExceptionHandler)
{
    TestSupport::CaughtExceptions caught;
    const auto queue = QMOperationQueue::serialQueue();
    const auto operation = QMBlockOperation::blockOperationWithBlock([] {});
    QObject::connect(
            operation->notifier(), &QMOperationNotifier::finished, operation->notifier(),
            [] { throw std::runtime_error("slot"); }, Qt::DirectConnection);
    Gate idle;
    QObject::connect(
            queue->notifier(), &QMOperationQueueNotifier::becameIdle, queue->notifier(),
            [&] { idle.open(); }, Qt::DirectConnection);
    queue->addOperation(operation);
    idle.wait(); // the queue went on
    EXPECT_EQ(caught.entries(),
              QStringList {u"a slot connected to an operation's finished(): slot"_s});
}
