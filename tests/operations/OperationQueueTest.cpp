#include "OperationsTestSupport.h"
#include "text/TextTestSupport.h"

#include <QMFoundation/operations/QMBlockOperation.h>
#include <QMFoundation/operations/QMOperationNotifier.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include <QEventLoop>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <latch>
#include <numeric>
#include <random>
#include <thread>

using namespace OperationsTestSupport;
using namespace Qt::StringLiterals;

namespace {

// Counts the operations running at once and keeps the highest count seen.
class ConcurrencyMeter
{
public:
    void enter()
    {
        const int now = ++m_current;
        int seen = m_highest.load();
        while (now > seen && !m_highest.compare_exchange_weak(seen, now)) { }
    }
    void leave() { --m_current; }
    int highest() const { return m_highest.load(); }

private:
    std::atomic<int> m_current = 0;
    std::atomic<int> m_highest = 0;
};

} // namespace

TEST(OperationQueueTest, RunsAsManyOperationsAtOnceAsItsWidthAndNoMore)
{
    // Width one: one at a time, in the order of addition. The wait also covers an operation
    // that an operation adds while the wait is under way.
    const auto serial = QMOperationQueue::serialQueue();
    ConcurrencyMeter serialMeter;
    Log order;
    QStringList expected;
    for (int i = 0; i < 300; ++i) {
        serial->addOperationWithBlock([&, i] {
            serialMeter.enter();
            order.append(QString::number(i));
            serialMeter.leave();
        });
        expected.append(QString::number(i));
    }
    serial->addOperationWithBlock(
            [&] { serial->addOperationWithBlock([&] { order.append(u"added"_s); }); });
    serial->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(order.entries(), expected << u"added"_s);
    EXPECT_EQ(serialMeter.highest(), 1);
    EXPECT_EQ(serial->operationCount(), 0);

    for (const int width : {2, 5}) {
        SCOPED_TRACE(width);
        const auto queue = QMOperationQueue::queueWithMaxConcurrentOperationCount(width);
        ConcurrencyMeter meter;
        // Each batch of `width` operations can only pass the latch when all of them run at
        // the same time.
        std::vector<std::unique_ptr<std::latch>> batches;
        for (int batch = 0; batch < 4; ++batch)
            batches.push_back(std::make_unique<std::latch>(width));
        for (int i = 0; i < 4 * width; ++i) {
            queue->addOperationWithBlock([&, i] {
                meter.enter();
                batches[i / width]->arrive_and_wait();
                meter.leave();
            });
        }
        queue->waitUntilAllOperationsAreFinished();
        EXPECT_EQ(meter.highest(), width);
    }

    // Width zero holds operations back until it is raised; a negative width is the machine's.
    const auto held = QMOperationQueue::queueWithMaxConcurrentOperationCount(0);
    std::atomic<bool> ran = false;
    const auto operation = QMBlockOperation::blockOperationWithBlock([&] { ran = true; });
    held->addOperation(operation);
    EXPECT_EQ(held->operationCount(), 1);
    EXPECT_FALSE(operation->isExecuting() || operation->isFinished());
    held->setMaxConcurrentOperationCount(-1);
    EXPECT_EQ(held->maxConcurrentOperationCount(), QThread::idealThreadCount());
    operation->waitUntilFinished();
    EXPECT_TRUE(ran);
    EXPECT_EQ(QMOperationQueue().maxConcurrentOperationCount(), QThread::idealThreadCount());
}

TEST(OperationQueueTest, RandomDependencyGraphAcrossThreeQueuesRunsInDependencyOrder)
{
    constexpr int Count = 10000;
    std::mt19937 random(20240611);
    const std::shared_ptr<QMOperationQueue> queues[] = {
            QMOperationQueue::serialQueue(),
            QMOperationQueue::queueWithMaxConcurrentOperationCount(2),
            QMOperationQueue::queueWithMaxConcurrentOperationCount(4),
    };
    // Each operation writes only its own two ticks; the waits below publish them.
    std::atomic<int> clock = 0;
    std::vector<int> started(Count, -1);
    std::vector<int> ended(Count, -1);
    std::vector<std::shared_ptr<QMBlockOperation>> operations;
    std::vector<std::vector<int>> dependencies(Count);
    for (int i = 0; i < Count; ++i) {
        operations.push_back(QMBlockOperation::blockOperationWithBlock([&, i] {
            started[i] = clock++;
            ended[i] = clock++;
        }));
        // Only earlier operations, so the graph has no cycle; mostly near ones, so that long
        // chains cross the queues back and forth.
        const int dependencyCount = int(random() % 4);
        for (int k = 0; k < dependencyCount && i > 0; ++k) {
            const int window = std::min(i, random() % 8 == 0 ? i : 40);
            const int j = i - 1 - int(random() % window);
            dependencies[i].push_back(j);
            operations[i]->addDependency(operations[j]);
        }
    }
    // Added in random order, so dependents often reach their queue before what they wait for.
    std::vector<int> additionOrder(Count);
    std::iota(additionOrder.begin(), additionOrder.end(), 0);
    std::shuffle(additionOrder.begin(), additionOrder.end(), random);
    for (const int i : additionOrder)
        queues[random() % 3]->addOperation(operations[i]);
    for (const auto &queue : queues)
        queue->waitUntilAllOperationsAreFinished();

    for (int i = 0; i < Count; ++i) {
        ASSERT_TRUE(operations[i]->isFinished()) << i;
        for (const int j : dependencies[i])
            ASSERT_LT(ended[j], started[i]) << j << " before " << i;
    }
}

// Threads adding at once while the queue's workers take operations in: nothing is lost, each
// thread's operations run in the order it added them, and the count and the waits stay true.
TEST(OperationQueueTest, ThreadsAddingAtOnceLoseNothingAndKeepEachThreadsOrder)
{
    constexpr int Threads = 4;
    constexpr int PerThread = 1500;
    for (const int width : {1, 2}) {
        SCOPED_TRACE(width);
        const auto queue = QMOperationQueue::queueWithMaxConcurrentOperationCount(width);
        // Written only by the serial queue's one running operation at a time.
        std::vector<std::vector<int>> order(Threads);
        std::atomic<int> ran = 0;
        std::atomic<bool> countWentWrong = false;
        std::latch start(Threads + 1);
        std::vector<std::thread> adders;
        for (int t = 0; t < Threads; ++t) {
            adders.emplace_back([&, t] {
                std::mt19937 random(t);
                std::shared_ptr<QMBlockOperation> previous;
                start.arrive_and_wait();
                for (int i = 0; i < PerThread; ++i) {
                    auto operation = QMBlockOperation::blockOperationWithBlock([&, t, i] {
                        if (width == 1)
                            order[t].push_back(i);
                        ++ran;
                    });
                    // Some wait for the thread's previous operation, which may have finished,
                    // be running or not yet be taken in; some are cancelled before or after
                    // they are added.
                    if (previous && random() % 8 == 0)
                        operation->addDependency(previous);
                    const unsigned fate = random() % 50;
                    if (fate == 0)
                        operation->cancel();
                    queue->addOperation(operation);
                    if (fate == 1)
                        operation->cancel();
                    if (queue->operationCount() < 0)
                        countWentWrong = true;
                    previous = std::move(operation);
                }
                previous->waitUntilFinished();
            });
        }
        start.arrive_and_wait();
        for (std::thread &adder : adders)
            adder.join();
        queue->waitUntilAllOperationsAreFinished();
        EXPECT_EQ(queue->operationCount(), 0);
        EXPECT_FALSE(countWentWrong);
        EXPECT_GT(ran, Threads * PerThread * 9 / 10);
        for (int t = 0; width == 1 && t < Threads; ++t)
            EXPECT_TRUE(std::is_sorted(order[t].begin(), order[t].end())) << t;
    }
}

// An operation added while the serial queue's worker finishes the one before is taken in by
// that worker or by the addition, never left behind: the addition lands at every point of the
// worker's way from one operation to the next (or to idling).
TEST(OperationQueueTest, AnOperationAddedAsTheWorkerFinishesIsNeverLeftBehind)
{
    const auto queue = QMOperationQueue::serialQueue();
    std::mutex mutex;
    std::condition_variable finished;
    int done = 0;
    for (int round = 1; round <= 20000; ++round) {
        queue->addOperationWithBlock([round] {
            // A few hundred nanoseconds or less, different from round to round.
            std::atomic<int> spin = 0;
            while (spin.fetch_add(1, std::memory_order_relaxed) < (round * 7) % 97) { }
        });
        const auto last = QMBlockOperation::blockOperationWithBlock([] {});
        last->setCompletionBlock([&, round] {
            std::lock_guard lock(mutex);
            done = round;
            finished.notify_all();
        });
        queue->addOperation(last);
        std::unique_lock lock(mutex);
        // A deadline only for a failure: a left-behind operation never runs.
        ASSERT_TRUE(
                finished.wait_for(lock, std::chrono::seconds(20), [&] { return done == round; }))
                << "round " << round;
    }
}

TEST(OperationQueueTest, CancelledOperationsFinishWithoutRunningAndReleaseTheirDependents)
{
    const auto held = QMOperationQueue::queueWithMaxConcurrentOperationCount(0);
    const auto queue = QMOperationQueue::serialQueue();
    std::atomic<int> ran = 0;
    std::latch completions(5);
    QMBaseOperation::OperationList cancelled;
    for (int i = 0; i < 5; ++i) {
        const auto operation = QMBlockOperation::blockOperationWithBlock([&] { ++ran; });
        operation->setCompletionBlock([&] { completions.count_down(); });
        cancelled.append(operation);
        held->addOperation(operation);
    }
    // The dependent, on another queue, goes ahead as soon as what it waits for is cancelled,
    // before the cancelled operations have finished on their own queue.
    const auto dependent = QMBlockOperation::blockOperationWithBlock([&] { ++ran; });
    dependent->addDependencies(cancelled);
    queue->addOperation(dependent);
    held->cancelAllOperations();
    dependent->waitUntilFinished();
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(held->operationCount(), 5);

    held->setMaxConcurrentOperationCount(1);
    held->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(ran, 1);
    EXPECT_TRUE(std::all_of(cancelled.begin(), cancelled.end(),
                            [](const auto &operation) { return operation->isFinished(); }));
    // Cancelled operations still run their completion blocks.
    completions.wait();
}

TEST(OperationQueueTest, CompletionBlockDoesNotHoldTheSerialQueuesSlot)
{
    // The first operation's completion block (or a slot connected to its finished()) waits for
    // the second operation of the same serial queue; were the slot held until the block
    // returned, neither could go on. The second is added only while the block waits.
    for (const bool bySignal : {false, true}) {
        SCOPED_TRACE(bySignal);
        const auto queue = QMOperationQueue::serialQueue();
        const auto first = QMBlockOperation::blockOperationWithBlock([] {});
        const auto second = QMBlockOperation::blockOperationWithBlock([] {});
        Gate completing;
        Gate completed;
        const auto waitForSecond = [&] {
            completing.open();
            second->waitUntilFinished();
            completed.open();
        };
        if (bySignal) {
            QObject::connect(first->notifier(), &QMOperationNotifier::finished, first->notifier(),
                             waitForSecond, Qt::DirectConnection);
        } else {
            first->setCompletionBlock(waitForSecond);
        }
        queue->addOperation(first);
        completing.wait();
        queue->addOperation(second);
        completed.wait();
        EXPECT_TRUE(second->isFinished());
    }

    // Nor does it hold back a thread waiting for the queue to be empty: here the block waits
    // for that thread to have woken.
    const auto queue = QMOperationQueue::serialQueue();
    for (int round = 0; round < 50; ++round) {
        Gate go;
        Gate woken;
        Gate completed;
        const auto operation = QMBlockOperation::blockOperationWithBlock([&] { go.wait(); });
        operation->setCompletionBlock([&] {
            woken.wait();
            completed.open();
        });
        queue->addOperation(operation);
        go.open();
        queue->waitUntilAllOperationsAreFinished();
        woken.open();
        completed.wait();
    }
}

// Blocks and observers run on a queue's own threads, never inline on the caller's.
TEST(OperationQueueTest, WorkRunsOnTheQueuesThreads)
{
    const auto caller = QMOperationQueue::serialQueue();
    const auto target = QMOperationQueue::serialQueue();
    std::thread::id callerThread;
    std::thread::id targetThread;
    int seenRightAfter = 0;
    caller->addOperationWithBlock([&] {
        callerThread = std::this_thread::get_id();
        int value = 0;
        target->performBlockAndWait([&] {
            targetThread = std::this_thread::get_id();
            value = 42;
        });
        seenRightAfter = value;
    });
    caller->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(seenRightAfter, 42);
    EXPECT_NE(targetThread, callerThread);

    // performBlock returns before the block runs, or the gate would never open.
    Gate release;
    std::thread::id ranOn;
    target->performBlock([&] {
        release.wait();
        ranOn = std::this_thread::get_id();
    });
    release.open();
    target->waitUntilAllOperationsAreFinished();
    EXPECT_NE(ranOn, std::this_thread::get_id());

    // Observers of an operation on a queue run on the thread that runs the operation.
    std::thread::id mainThread;
    std::thread::id observerThread;
    const auto operation = QMBlockOperation::blockOperationWithBlock(
            [&] { mainThread = std::this_thread::get_id(); });
    operation->addExecutingObserver([&](bool) { observerThread = std::this_thread::get_id(); });
    target->addOperation(operation);
    target->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(observerThread, mainThread);
    EXPECT_NE(observerThread, std::this_thread::get_id());
}

TEST(OperationQueueTest, MainQueueRunsOnTheApplicationThread)
{
    const auto main = QMOperationQueue::mainQueue();
    EXPECT_EQ(main, QMOperationQueue::mainQueue());
    EXPECT_TRUE(main->isMainQueue());
    EXPECT_FALSE(QMOperationQueue::serialQueue()->isMainQueue());
    main->setMaxConcurrentOperationCount(4);
    EXPECT_EQ(main->maxConcurrentOperationCount(), 1);

    const auto worker = QMOperationQueue::serialQueue();
    const std::thread::id mainThread = std::this_thread::get_id();
    Log log;
    QEventLoop loop;
    // performBlock on the main thread returns before the block runs.
    main->performBlock([&] { log.append(u"performed"_s); });
    log.append(u"returned"_s);
    worker->addOperationWithBlock([&] {
        // Operations added from a worker run one at a time, in order, on the main thread.
        for (int i = 0; i < 20; ++i) {
            main->addOperationWithBlock([&, i] {
                log.append(u"op %1 main=%2"_s.arg(i).arg(std::this_thread::get_id() == mainThread));
            });
        }
        // A main-queue operation may wait for a worker's.
        const auto later
                = QMBlockOperation::blockOperationWithBlock([&] { log.append(u"later"_s); });
        const auto first
                = QMBlockOperation::blockOperationWithBlock([&] { log.append(u"first"_s); });
        later->addDependency(first);
        main->addOperation(later);
        worker->addOperation(first);
        main->performBlockAndWait([&] { log.append(u"waited for"_s); });
        log.append(u"after wait"_s);
        // The loop ends with the last main-queue operation.
        const auto quit = QMBlockOperation::blockOperationWithBlock([&] { loop.quit(); });
        quit->addDependency(later);
        main->addOperation(quit);
    });
    loop.exec(); // until a block on the main queue quits it
    worker->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(main->operationCount(), 0);

    const QStringList entries = log.entries();
    QStringList expected {u"returned"_s, u"performed"_s};
    for (int i = 0; i < 20; ++i)
        expected.append(u"op %1 main=1"_s.arg(i));
    EXPECT_EQ(entries.mid(0, 22), expected);
    EXPECT_LT(entries.indexOf(u"first"_s), entries.indexOf(u"later"_s));
    EXPECT_LT(entries.indexOf(u"waited for"_s), entries.indexOf(u"after wait"_s));
    EXPECT_EQ(entries.size(), 26);
}

TEST(OperationQueueTest, DestroyingAQueueWaitsForItsOperationsAndLeavesNoThread)
{
    // A sanitizer's runtime may start a helper thread with the process's first thread; let it
    // do so before counting.
    std::thread([] {}).join();
    const int threadsBefore = threadCount();
    constexpr int Width = 4;
    std::atomic<int> finished = 0;
    std::latch running(Width);
    Gate release;
    std::thread releaser;
    {
        QMOperationQueue queue;
        queue.setMaxConcurrentOperationCount(Width);
        for (int i = 0; i < 2 * Width; ++i) {
            queue.addOperationWithBlock([&] {
                running.count_down();
                release.wait();
                ++finished;
            });
        }
        running.wait();
        EXPECT_EQ(threadCount(), threadsBefore + Width);
        // Opened at some point while (or before) the destructor waits.
        releaser = std::thread([&] { release.open(); });
    }
    EXPECT_EQ(finished, 2 * Width);
    releaser.join();
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST(OperationQueueTest, QueueReleasedInsideItsOwnOperationLetsItsWorkFinish)
{
    auto queue = std::make_shared<QMOperationQueue>();
    queue->setMaxConcurrentOperationCount(1);
    std::atomic<int> ran = 0;
    Gate done;
    const auto last = QMBlockOperation::blockOperationWithBlock([&] { ++ran; });
    last->setCompletionBlock([&] { done.open(); });
    std::shared_ptr<QMOperationQueue> held = queue;
    Gate released; // by this thread, so that the worker drops the last reference
    Gate gone;
    queue->addOperationWithBlock([&ran, &held, &released, &gone] {
        released.wait();
        ++ran;
        held.reset(); // the last reference: the queue goes away on its own worker
        gone.open();
    });
    queue->addOperationWithBlock([&] { ++ran; });
    queue->addOperation(last);
    // Held back by an operation on no queue, which starts only after the queue has gone.
    const auto outside = QMBlockOperation::blockOperationWithBlock([&] { ++ran; });
    last->addDependency(outside);
    queue.reset();
    released.open();
    gone.wait();
    outside->start();
    done.wait();
    EXPECT_EQ(ran, 4);
}
