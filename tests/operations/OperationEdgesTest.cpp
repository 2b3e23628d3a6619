#include "OperationsTestSupport.h"
#include "support/CaughtExceptions.h"

#include <QMFoundation/operations/QMBlockOperation.h>
#include <QMFoundation/operations/QMOperation.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <gtest/gtest.h>

#include <stdexcept>

using namespace OperationsTestSupport;
using TestSupport::CaughtExceptions;
using TestSupport::Record;
using namespace Qt::StringLiterals;

namespace {

// Runs the application's events until `condition` holds (at most 10 s).
bool runEventsUntil(const std::function<bool()> &condition)
{
    const QDeadlineTimer deadline(10000);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return condition();
}

// Waits for `operation` to finish, running the application's events meanwhile (the main
// queue's operations run there).
bool finishes(const QMOperationQueue &queue, const std::shared_ptr<QMBaseOperation> &operation)
{
    if (!queue.isMainQueue()) {
        operation->waitUntilFinished();
        return true;
    }
    return runEventsUntil([&] { return operation->isFinished(); });
}

// The first `count` entries of `record`, once there (at most 10 s). Completion blocks run after
// their operation counts as finished, so waiting for the queue does not wait for them.
QStringList waitFor(const QMOperationQueue &queue, const Record &record, qsizetype count)
{
    if (queue.isMainQueue()) {
        runEventsUntil([&] { return record.entries().size() >= count; });
        return record.entries();
    }
    return record.waitFor(count);
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

struct QueueRow
{
    const char *label;
    std::function<std::shared_ptr<QMOperationQueue>()> make;
    QString where; // how the handler names the queue
};

const std::vector<QueueRow> &queueRows()
{
    static const std::vector<QueueRow> rows {
            {"named serial queue",
             [] {
                 auto queue = QMOperationQueue::serialQueue();
                 queue->setName(u"edges.serial"_s);
                 return queue;
             },
             u"queue edges.serial"_s},
            {"unnamed wide queue",
             [] { return QMOperationQueue::queueWithMaxConcurrentOperationCount(4); },
             u"an unnamed queue"_s},
            {"main queue", [] { return QMOperationQueue::mainQueue(); }, u"the main queue"_s},
    };
    return rows;
}

} // namespace

// Whatever the host's code throws on a queue's thread goes to the handler, named by where it
// was caught, and the queue goes on: the operation finishes, its completion block runs, its
// dependents and waiters are released and the next operation runs.
TEST(OperationEdgesTest, QueueHandsExceptionsToTheHandlerAndGoesOn)
{
    for (const QueueRow &row : queueRows()) {
        SCOPED_TRACE(row.label);
        CaughtExceptions caught;
        const std::shared_ptr<QMOperationQueue> queue = row.make();
        Record log;

        // main() throws: the operation still finishes and releases its dependent.
        const auto throwing = QMBlockOperation::blockOperationWithBlock(
                [] { throw std::runtime_error("main failed"); });
        throwing->setCompletionBlock([&] { log.append(u"completion of the throwing one"_s); });
        const auto dependent
                = QMBlockOperation::blockOperationWithBlock([&] { log.append(u"dependent"_s); });
        dependent->addDependency(throwing);
        queue->addOperation(dependent);
        queue->addOperation(throwing);
        ASSERT_TRUE(finishes(*queue, dependent));

        // An executing observer throws (before and after main()): main() still runs.
        const auto observed
                = QMBlockOperation::blockOperationWithBlock([&] { log.append(u"observed"_s); });
        observed->addExecutingObserver([](bool executing) {
            throw std::runtime_error(executing ? "observer before" : "observer after");
        });
        // The completion block throws: the next operation still runs.
        observed->setCompletionBlock([] { throw std::logic_error("completion failed"); });
        const auto next = QMBlockOperation::blockOperationWithBlock([&] { log.append(u"next"_s); });
        queue->addOperation(observed);
        queue->addOperation(next);
        ASSERT_TRUE(finishes(*queue, next));

        // The completion block of the throwing operation runs once it has released its
        // dependent, so in any order with it.
        EXPECT_EQ(sorted(waitFor(*queue, log, 4)),
                  QStringList({u"completion of the throwing one"_s, u"dependent"_s, u"next"_s,
                               u"observed"_s}));
        EXPECT_TRUE(throwing->isFinished());
        EXPECT_FALSE(throwing->isExecuting());
        EXPECT_EQ(waitFor(*queue, caught, 4),
                  QStringList({u"an operation on "_s + row.where + u": main failed"_s,
                               u"an executing observer of an operation on "_s + row.where
                                       + u": observer before"_s,
                               u"an executing observer of an operation on "_s + row.where
                                       + u": observer after"_s,
                               u"the completion block of an operation on "_s + row.where
                                       + u": completion failed"_s}));
    }
}

// performBlockAndWait() waits for the operation, not for its success: a block that throws
// wakes the waiter, and the handler has it.
TEST(OperationEdgesTest, WaitersWakeWhenTheBlockThrows)
{
    CaughtExceptions caught;
    const auto queue = QMOperationQueue::serialQueue();
    queue->performBlockAndWait([] { throw std::runtime_error("waited for"); });
    EXPECT_EQ(caught.entries(), QStringList {u"an operation on an unnamed queue: waited for"_s});
    queue->performBlock([] { throw std::runtime_error("not waited for"); });
    EXPECT_EQ(caught.waitFor(2).size(), 2);
}

// Blocks handed to the main queue are events of the application's loop: the handler gets what
// they throw, and the blocks after them run.
TEST(OperationEdgesTest, MainQueueBlocksThatThrowDoNotStopTheOnesAfter)
{
    CaughtExceptions caught;
    int ran = 0;
    const auto main = QMOperationQueue::mainQueue();
    main->performBlock([] { throw QMInternalInconsistencyException(u"first block"_s); });
    main->performBlock([&] { ++ran; });
    ASSERT_TRUE(runEventsUntil([&] { return ran == 1; }));
    EXPECT_EQ(caught.entries(), QStringList {u"a block on the main queue: first block"_s});
}

// start() is the caller's own call, not an edge: the exception reaches the caller, but only
// once the operation is whole (finished, waiters woken, completion block run), and the handler
// is not involved.
TEST(OperationEdgesTest, StartPassesTheFirstExceptionToItsCallerOnceFinished)
{
    CaughtExceptions caught;
    struct Row
    {
        const char *label;
        bool observerThrows;
        bool mainThrows;
        const char *expected; // the reason start() throws
        const char *log;
    };
    const Row rows[] = {
            {"main throws", false, true, "main", "observer 1|main|observer 0|completion"},
            // The observer's exception comes first; main() runs all the same.
            {"observer throws", true, false, "observer 1", "observer 1|main|observer 0|completion"},
            {"both throw", true, true, "observer 1", "observer 1|main|observer 0|completion"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        Log log;
        const auto operation = QMBlockOperation::blockOperationWithBlock([&] {
            log.append(u"main"_s);
            if (row.mainThrows)
                throw std::runtime_error("main");
        });
        operation->addExecutingObserver([&](bool executing) {
            log.append(u"observer %1"_s.arg(executing));
            if (row.observerThrows)
                throw std::runtime_error(executing ? "observer 1" : "observer 0");
        });
        operation->setCompletionBlock([&] { log.append(u"completion"_s); });
        QString reason = u"(no exception)"_s;
        try {
            operation->start();
        } catch (const std::runtime_error &error) {
            reason = QString::fromUtf8(error.what());
        }
        EXPECT_EQ(reason, QString::fromUtf8(row.expected));
        EXPECT_EQ(log.entries().join(u'|'), QString::fromUtf8(row.log));
        EXPECT_TRUE(operation->isFinished());
        EXPECT_FALSE(operation->isExecuting());
    }
    EXPECT_TRUE(caught.entries().isEmpty());
}

// A QMOperation's hooks and execute() run inside main(): on a queue their exceptions end at the
// handler too. operationDidFinish() still runs after execute() threw, and the caller's
// completion block still runs after operationDidFinish() threw.
TEST(OperationEdgesTest, OperationHooksThatThrowOnAQueueFinishTheOperation)
{
    class Throwing : public QMOperation
    {
    public:
        Record *log = nullptr;

    protected:
        void execute() override { throw QMInternalInconsistencyException(u"execute failed"_s); }
        void operationDidFinish() override
        {
            log->append(u"didFinish"_s);
            throw std::runtime_error("didFinish failed");
        }
    };
    CaughtExceptions caught;
    const auto queue = QMOperationQueue::serialQueue();
    queue->setName(u"hooks"_s);
    Record log;
    const auto operation = std::make_shared<Throwing>();
    operation->log = &log;
    operation->setCompletionBlock([&] { log.append(u"completion"_s); });
    queue->addOperation(operation);
    EXPECT_EQ(log.waitFor(2), QStringList({u"didFinish"_s, u"completion"_s}));
    EXPECT_EQ(
            caught.waitFor(2),
            QStringList(
                    {u"an operation on queue hooks: execute failed"_s,
                     u"the completion block of an operation on queue hooks: didFinish failed"_s}));
}

// Without a handler of the host's, an exception at an edge ends the process with its
// description.
TEST(OperationEdgesDeathTest, DefaultHandlerAbortsWithTheDescriptionOfAMainQueueBlock)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
            {
                QMOperationQueue::mainQueue()->performBlock([] {
                    throw QMInternalInconsistencyException(u"lost on the main queue"_s);
                });
                runEventsUntil([] { return false; });
            },
            "Terminating app due to uncaught exception \\(caught in a block on the main "
            "queue\\):\nQMInternalInconsistencyException <0x[0-9a-f]+>.*reason: lost on the "
            "main queue");
}
