#include "OperationsTestSupport.h"
#include "support/Futures.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/operations/QMAsyncContext.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using OperationsTestSupport::Gate;
using TestSupport::waitFor;

namespace {

const QMError notFound(QStringLiteral("Test"), 44,
                       {{QMLocalizedDescriptionKey, QStringLiteral("missing")}});

// A thread with a running event loop, shared by the tests and never stopped: a thread that
// ends closes its wake-up descriptor, and race detectors cannot see that ordered after other
// threads' last posts to it (the hand-over is inside Qt). Returns once the loop can take posts.
QThread *loopThread()
{
    static QThread *const thread = [] {
        auto *made = new QThread;
        Gate started;
        const auto connection = QObject::connect(
                made, &QThread::started, made, [&] { started.open(); }, Qt::DirectConnection);
        made->start();
        started.wait();
        QObject::disconnect(connection);
        return made;
    }();
    return thread;
}

// Deletes `object` on the thread it lives on and returns once it is gone.
void deleteOnItsThread(QObject *object)
{
    Gate deleted;
    QMAsync::invokeOnContext(
            object,
            [&] {
                delete object;
                deleted.open();
            },
            "a test block");
    deleted.wait();
}

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

// Continuations with a context run on the context's thread.
TEST(AsyncTest, ContinuationsRunOnTheirContextsThread)
{
    QThread *const worker = loopThread();
    auto *onWorker = new QObject;
    onWorker->moveToThread(worker);

    std::atomic<QThread *> ranOn {nullptr};
    Gate attached; // see above: continuations are attached before the work can finish
    QFuture<int> doubled = QMAsync::run([&](QMError *) {
                               attached.wait();
                               return 21;
                           }).then(onWorker, [&](int v) {
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
    EXPECT_EQ(ranOn.load(), worker);
    ASSERT_TRUE(waitFor(onMain));
    EXPECT_EQ(mainRanOn, QThread::currentThread());
    deleteOnItsThread(onWorker);
}

// Cancelling a future reaches the work: before it starts it never runs; while it runs its
// handler stops the blocking wait; the future reads cancelled, not failed.
TEST(AsyncTest, CancellingAFutureStopsItsWork)
{
    // Occupy every thread of the queue so that the next work waits its turn.
    Gate holdQueue;
    std::vector<QFuture<int>> blockers;
    for (int i = 0; i < 8; ++i)
        blockers.push_back(QMAsync::run([&holdQueue, i](QMError *) {
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
    // Shared with the handler, which may still be returning from open() on the watcher thread
    // when the future has finished.
    auto stop = std::make_shared<Gate>();
    QFuture<int> running
            = QMAsync::run([&, stop](QMError *error, const QMAsync::Cancellation &cancellation) {
                  cancellation.setHandler([stop] { stop->open(); });
                  started.open();
                  stop->wait(); // ends only through the handler
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
TEST(AsyncTest, ABlockHandedOverWhileItsContextIsDestroyedIsFreedWithIt)
{
    // The context goes on this thread. A handler connected before the binding's holds the
    // destruction until another thread has handed a block over through the binding: the block
    // reaches the relay while destroyed() is being emitted.
    auto *context = new QObject;
    Gate destroying;
    Gate handedOver;
    QObject::connect(context, &QObject::destroyed, [&] { // clazy:exclude=connect-3arg-lambda
        destroying.open();
        handedOver.wait();
    });
    const QMAsync::ContextBinding binding(context);
    auto token = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = token;
    std::thread other([&, token]() mutable {
        destroying.wait();
        binding.invoke([token] { ADD_FAILURE() << "ran after its context"; }, "a test block");
        token.reset();
        handedOver.open();
    });
    token.reset();
    delete context;
    other.join();
    // Freed with the context, without this thread's event loop turning.
    EXPECT_TRUE(watch.expired());
    QCoreApplication::processEvents();
}

TEST(AsyncTest, BlocksForAContextRunOnItsThreadWhileItLives)
{
    QThread *const worker = loopThread();
    auto *onWorker = new QObject;
    onWorker->moveToThread(worker);

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
    EXPECT_EQ(ranOn.load(), worker);

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
    // The destruction is queued first, so it comes before the block's delivery; the block's
    // captures are freed as the context goes, not when its turn comes.
    auto token = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = token;
    std::atomic<bool> freedWithContext {false};
    QMAsync::invokeOnContext(
            onWorker,
            [onWorker, watch, &freedWithContext] {
                delete onWorker;
                freedWithContext = watch.expired();
            },
            "a test block");
    QMAsync::invokeOnContext(
            onWorker, [&ranAfterDeath, token] { ranAfterDeath = true; }, "a test block");
    token.reset();
    holdWorker.open();
    // A block queued after both has run once they are through.
    auto *marker = new QObject;
    marker->moveToThread(worker);
    deleteOnItsThread(marker);
    EXPECT_FALSE(ranAfterDeath);
    EXPECT_TRUE(freedWithContext);

    EXPECT_THROW(QMAsync::invokeOnContext(
                         nullptr, [] {}, "a test block"),
                 QMInternalInconsistencyException);
}
