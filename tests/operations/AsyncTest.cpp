#include "OperationsTestSupport.h"
#include "support/WaitForFuture.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/operations/QMAsync.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

using OperationsTestSupport::Gate;
using TestSupport::waitFor;

namespace {

const QMError notFound(QStringLiteral("Test"), 44,
                       {{QMLocalizedDescriptionKey, QStringLiteral("missing")}});

} // namespace

// Values, errors and exceptions: each reaches the future, never the event loop.
TEST(AsyncTest, WorkSettlesItsFutureAsTheSynchronousFormWouldReturn)
{
    QFuture<int> value = QMAsync::run([](QMError *) { return 42; });
    ASSERT_TRUE(waitFor(value));
    EXPECT_EQ(value.result(), 42);
    EXPECT_TRUE(QMAsync::errorOf(value).isNull());

    // A null result without an error is a result (a lookup that found nothing).
    QFuture<std::shared_ptr<int>> nothing
            = QMAsync::run([](QMError *) { return std::shared_ptr<int>(); });
    ASSERT_TRUE(waitFor(nothing));
    EXPECT_EQ(nothing.result(), nullptr);

    // Continuations are attached while the work is held: Qt 6.4 can run a continuation twice
    // when it is attached at the instant another thread finishes the future.
    Gate attached;
    QFuture<bool> failed = QMAsync::run([&](QMError *error) {
        attached.wait();
        QMSetError(error, notFound);
        return false;
    });
    QMError handled;
    auto recovered = failed.onFailed([&](const QMError &error) {
        handled = error;
        return true;
    });
    attached.open();
    ASSERT_TRUE(waitFor(recovered));
    EXPECT_EQ(QMAsync::errorOf(failed), notFound);
    EXPECT_TRUE(recovered.result());
    EXPECT_EQ(handled, notFound);

    QFuture<void> thrown
            = QMAsync::run([](QMError *) { throw std::runtime_error("the disk caught fire"); });
    ASSERT_TRUE(waitFor(thrown));
    EXPECT_EQ(QMAsync::errorOf(thrown).localizedDescription(),
              QStringLiteral("the disk caught fire"));
    EXPECT_EQ(QMAsync::errorOf(thrown).domain(), QStringLiteral("QMFoundation.Async"));
}

// Continuations with a context run on the context's thread, and not at all once it is gone.
TEST(AsyncTest, ContinuationsRunOnTheirContextsThread)
{
    QThread worker;
    worker.start();
    QObject onWorker;
    onWorker.moveToThread(&worker);

    std::atomic<QThread *> ranOn {nullptr};
    Gate attached; // see above: continuations are attached before the work can finish
    QFuture<int> doubled = QMAsync::run([&](QMError *) {
                               attached.wait();
                               return 21;
                           }).then(&onWorker, [&](int v) {
        ranOn = QThread::currentThread();
        return v * 2;
    });
    QObject mainContext;
    QThread *mainRanOn = nullptr;
    QFuture<void> onMain
            = QMAsync::run([&](QMError *) {
                  attached.wait();
                  return 1;
              }).then(&mainContext, [&](int) { mainRanOn = QThread::currentThread(); });
    attached.open();
    ASSERT_TRUE(waitFor(doubled));
    EXPECT_EQ(doubled.result(), 42);
    EXPECT_EQ(ranOn.load(), &worker);
    ASSERT_TRUE(waitFor(onMain));
    EXPECT_EQ(mainRanOn, QThread::currentThread());

    // The context dies while the work runs: the continuation never runs.
    Gate release;
    std::atomic<bool> ranAfterDeath {false};
    auto *doomed = new QObject;
    QFuture<int> work = QMAsync::run([&](QMError *) {
        release.wait();
        return 1;
    });
    work.then(doomed, [&](int) { ranAfterDeath = true; });
    delete doomed;
    release.open();
    ASSERT_TRUE(waitFor(work));
    QCoreApplication::processEvents();
    EXPECT_FALSE(ranAfterDeath);

    worker.quit();
    worker.wait();
}

// Cancelling a future reaches the work: before it starts it never runs; while it runs its
// handler stops the blocking wait; the future reads cancelled, not failed.
TEST(AsyncTest, CancellingAFutureStopsItsWork)
{
    // Occupy every thread of the queue so that the next work waits its turn.
    Gate holdQueue;
    std::vector<QFuture<int>> blockers;
    for (int i = 0; i < 8; ++i)
        blockers.push_back(QMAsync::run([&](QMError *) {
            holdQueue.wait();
            return i;
        }));
    std::atomic<bool> ran {false};
    QFuture<int> queued = QMAsync::run([&](QMError *) {
        ran = true;
        return 1;
    });
    queued.cancel();
    holdQueue.open();
    ASSERT_TRUE(waitFor(queued));
    for (auto &blocker : blockers)
        ASSERT_TRUE(waitFor(blocker));
    EXPECT_FALSE(ran);
    EXPECT_TRUE(queued.isCanceled());

    Gate started;
    Gate stop;
    QFuture<int> running
            = QMAsync::run([&](QMError *error, const QMAsync::Cancellation &cancellation) {
                  cancellation.setHandler([&] { stop.open(); });
                  started.open();
                  stop.wait(); // ends only through the handler
                  QMSetError(error, notFound); // what a cut-off call reports
                  return 0;
              });
    bool canceledHandlerRan = false;
    auto afterCancel = running.onCanceled([&] {
        canceledHandlerRan = true;
        return -1;
    });
    started.wait();
    running.cancel();
    ASSERT_TRUE(waitFor(running));
    EXPECT_TRUE(running.isCanceled());
    ASSERT_TRUE(waitFor(afterCancel));
    EXPECT_TRUE(canceledHandlerRan);
}

// The write side: the first settlement wins, and a dropped promise cancels its future.
TEST(AsyncTest, PromisesSettleOnceAndNeverLeaveAFuturePending)
{
    QMAsync::Promise<QString> promise;
    QFuture<QString> future = promise.future();
    promise.resolve(QStringLiteral("first"));
    promise.fail(notFound);
    promise.resolve(QStringLiteral("second"));
    ASSERT_TRUE(future.isFinished());
    EXPECT_EQ(future.result(), QStringLiteral("first"));

    QFuture<int> orphan;
    {
        QMAsync::Promise<int> dropped;
        orphan = dropped.future();
    }
    ASSERT_TRUE(orphan.isFinished());
    EXPECT_TRUE(orphan.isCanceled());
    EXPECT_TRUE(QMAsync::errorOf(orphan).isNull());

    // A cancellation's handler that is set after the cancel runs at once.
    QMAsync::Cancellation cancellation;
    EXPECT_FALSE(cancellation.isCanceled());
    cancellation.cancel();
    bool ran = false;
    cancellation.setHandler([&] { ran = true; });
    EXPECT_TRUE(ran);
    QMAsync::Cancellation finished;
    finished.finish();
    finished.cancel();
    EXPECT_FALSE(finished.isCanceled());
}

// Blocks given a context run on its thread, and not at all once it is destroyed.
TEST(AsyncTest, BlocksForAContextRunOnItsThreadWhileItLives)
{
    QThread worker;
    worker.start();
    auto *onWorker = new QObject;
    onWorker->moveToThread(&worker);

    Gate ran;
    std::atomic<QThread *> ranOn {nullptr};
    QMAsync::invokeOnContext(
            onWorker,
            [&] {
                ranOn = QThread::currentThread();
                ran.open();
            },
            "a test block");
    ran.wait();
    EXPECT_EQ(ranOn.load(), &worker);

    // On the context's own thread the block runs before the call returns.
    QObject here;
    bool direct = false;
    QMAsync::invokeOnContext(
            &here, [&] { direct = true; }, "a test block");
    EXPECT_TRUE(direct);

    // Destroyed before its event is delivered: the block is dropped. The worker is held in a
    // block of its own while both are queued.
    Gate holdWorker;
    Gate workerHeld;
    QMAsync::invokeOnContext(
            onWorker,
            [&] {
                workerHeld.open();
                holdWorker.wait();
            },
            "a test block");
    workerHeld.wait();
    std::atomic<bool> ranAfterDeath {false};
    // The destruction is queued first, so it comes before the block's delivery.
    QMetaObject::invokeMethod(
            onWorker, [onWorker] { delete onWorker; }, Qt::QueuedConnection);
    QMAsync::invokeOnContext(
            onWorker, [&] { ranAfterDeath = true; }, "a test block");
    holdWorker.open();
    worker.quit();
    worker.wait();
    EXPECT_FALSE(ranAfterDeath);

    EXPECT_THROW(QMAsync::invokeOnContext(
                         nullptr, [] {}, "a test block"),
                 QMInternalInconsistencyException);
}
