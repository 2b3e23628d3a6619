#pragma once

#include <QMFoundation/operations/QMBaseOperation.h>
#include <QMFoundation/operations/QMOperationNotifier.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

/// What an operation needs of the queue it is on: to be told when it may run.
class QMOperationScheduler
{
public:
    virtual ~QMOperationScheduler();
    /// The operation enqueued under `sequence` may have become ready (its last dependency
    /// finished, or it was cancelled). Called without any lock held.
    virtual void operationMayHaveBecomeReady(quint64 sequence) = 0;
    /// Names the queue where the uncaught-exception handler says where it caught something:
    /// "the main queue", "queue <name>" or "an unnamed queue".
    virtual QString label() const = 0;
    /// A reference that keeps the queue; taken under an unfinished operation's lock, while the
    /// queue is sure to exist (see QMBaseOperation::Private::scheduler).
    virtual std::shared_ptr<QMOperationScheduler> reference() = 0;
};

// Lock order: a queue's mutex may be held while an operation's mutex is taken (enqueueing),
// never the other way round; an operation never holds its own mutex while it takes another
// operation's, nor while it calls anything outside this file.
class QMBaseOperation::Private
{
public:
    // Runs main() (unless cancelled) between the executing observers and marks the operation
    // finished; returns its completion block, for the runner to call. On a queue's thread
    // (`queue` given) whatever the observers or main() throw goes to the uncaught-exception
    // handler, and the operation goes on as if they had returned. For the caller of start()
    // (`queue` null) the first exception is kept: the operation still finishes, its completion
    // block runs, and then the exception passes on to that caller.
    CompletionBlock runAndFinish(QMBaseOperation &operation, const QMOperationScheduler *queue);
    // Each observer is called once, its exception handled as runAndFinish() says.
    void notifyExecuting(bool executing, const QMOperationScheduler *queue,
                         std::exception_ptr &thrown);
    CompletionBlock markFinished();
    // The dependents to tell that this operation no longer holds them back, once: empty after
    // the first call.
    std::vector<std::weak_ptr<Private>> takeDependentsLocked();
    static void notifyDependents(const std::vector<std::weak_ptr<Private>> &released);
    void dependencyReleased();
    bool isReadyToRun() const { return cancelled.load() || unfinishedDependencies.load() == 0; }
    // Emits `signal` of the notifier, if one was made, with no lock held; what a slot throws
    // goes to the uncaught-exception handler.
    void announce(void (QMOperationNotifier::*signal)(), const char *where) const;

    // An observer is called with no lock held; `running` lets a removal wait for a call in
    // progress on another thread (not for one on its own thread: an observer may remove itself).
    struct Observer
    {
        std::mutex mutex;
        std::condition_variable idle;
        bool removed = false;
        bool running = false;
        std::thread::id runner;
        ExecutingObserver function;
        quint64 token = 0;
    };

    // First and together, the fields that adding an operation to a queue and running it there
    // touch: the adding thread writes them and a worker on another core reads them (or the other
    // way round), and each cache line of them is a transfer between the cores' caches. Next to
    // the reference counts in front of them, they take two lines instead of five.
    //
    // From addOperation() until the queue takes the operation in (see
    // QMOperationQueue::Private::takeInHandedOverLocked()): the operation itself, and the one
    // handed over before it. Written before the hand-over and read after it, never concurrently.
    std::shared_ptr<QMBaseOperation> handedOver;
    Private *handedOverBefore = nullptr;
    // The queue the operation was added to, until it has finished. A queue outlives its
    // unfinished operations: its destructor waits for them or, on one of its own workers,
    // keeps the queue's state until they have finished. Others than the queue take a
    // reference() under `mutex` before they call it.
    QMOperationScheduler *scheduler = nullptr;
    quint64 sequence = 0;
    std::atomic<int> unfinishedDependencies {0};
    std::atomic<bool> executing {false};
    std::atomic<bool> cancelled {false};
    bool started = false;
    bool finished = false;
    bool dependentsReleased = false;
    // The size of `observers`, read without the lock on each run.
    std::atomic<size_t> observerCount {0};
    // Made by notifier() under `mutex`, read without it by announce().
    std::atomic<QMOperationNotifier *> notifier {nullptr};
    mutable std::mutex mutex;

    std::condition_variable finishedCondition;
    CompletionBlock completionBlock;
    OperationList dependencies;
    std::vector<std::weak_ptr<Private>> dependents;
    std::vector<std::shared_ptr<Observer>> observers;
    quint64 nextObserverToken = 1;
    std::unique_ptr<QMOperationNotifier> notifierObject;
};
