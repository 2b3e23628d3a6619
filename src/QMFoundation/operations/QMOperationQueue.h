#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/operations/QMBaseOperation.h>

#include <QString>

#include <functional>
#include <memory>

class QMOperationQueueNotifier;

/// Runs operations on threads of its own, at most maxConcurrentOperationCount() at a time.
///
/// An operation runs once all its dependencies have finished (see QMBaseOperation); among the
/// operations that are ready, the one added first starts first, so a queue of width 1 runs its
/// operations one at a time in order of addition (dependencies permitting).
///
/// Threads: worker threads are made on demand, up to the width, and end after a short idle
/// time. Every member may be called from any thread. The queue holds each operation strongly
/// from addOperation() until the operation has finished.
///
/// Destroying a queue lets every operation already added run to its end (a cancelled one
/// finishes without running) and joins the workers, so no thread of the queue is left when the
/// destructor returns. When the last reference goes away on one of the queue's own workers
/// (inside one of its operations), the destructor cannot wait for itself: it returns at once and
/// that worker finishes the remaining operations, then ends.
///
/// Operations report failures through their own state (QMOperation::error()). An exception
/// that escapes an operation's main(), its executing observers, its completion block or a block
/// given to performBlock() is handed to the uncaught-exception handler (QMUncaughtExceptions)
/// with where it was caught ("an operation on queue <name>", "the completion block of an
/// operation on the main queue", "a block on the main queue"...); by default that ends the
/// process with the exception's description. When a host's handler returns, the queue goes on:
/// the operation counts as finished (its completion block runs, its waiters and dependents are
/// released) and the next operation starts.
///
/// The main queue (mainQueue()) is different: it runs its operations one at a time on the
/// thread of the QCoreApplication, through the application's event loop, and has no threads.
class QMF_CORE_EXPORT QMOperationQueue
{
public:
    /// A block of work, as addOperationWithBlock() and performBlock() take it.
    using Block = std::function<void()>;

    /// A queue with no name and the default width (QThread::idealThreadCount()).
    QMOperationQueue();
    ~QMOperationQueue();
    QMOperationQueue(const QMOperationQueue &) = delete;
    QMOperationQueue &operator=(const QMOperationQueue &) = delete;

    /// The queue that runs its operations on the QCoreApplication's thread, one at a time, as
    /// events of the application's event loop. The same object for the whole process. Adding
    /// an operation to it without a QCoreApplication throws "The main queue needs a
    /// QCoreApplication"; operations still pending when the application object is destroyed
    /// never run.
    static std::shared_ptr<QMOperationQueue> mainQueue();
    /// A new queue with no name whose width is 1.
    static std::shared_ptr<QMOperationQueue> serialQueue();
    /// A new queue with no name whose width is `count`, passed through unchanged.
    static std::shared_ptr<QMOperationQueue> queueWithMaxConcurrentOperationCount(int count);
    /// The width of a new queue: QThread::idealThreadCount().
    static int defaultMaxConcurrentOperationCount();

    /// True for mainQueue() only.
    bool isMainQueue() const;

    /// A null QString until set.
    QString name() const;
    /// Names the queue; the name shows in uncaught-exception reports.
    void setName(const QString &name);

    /// How many operations may run at once. 0 holds every operation back until the width is
    /// raised; a negative count sets the default width. The main queue's width stays 1.
    int maxConcurrentOperationCount() const;
    /// Sets the width (see maxConcurrentOperationCount()); a wider queue starts held-back
    /// operations at once. Ignored by the main queue.
    void setMaxConcurrentOperationCount(int count);

    /// Enqueues `operation`. Throws "Invalid parameter not satisfying: operation" for a null
    /// operation, and "Operation is already enqueued or has already been started" when it is on
    /// a queue (this one or another) or was started before.
    void addOperation(const std::shared_ptr<QMBaseOperation> &operation);
    /// Enqueues a QMBlockOperation of `block`. Throws "Invalid parameter not satisfying: block"
    /// without a block.
    void addOperationWithBlock(Block block);
    /// The operations added and not finished yet, running ones included.
    qsizetype operationCount() const;
    /// Cancels every operation on the queue (see QMBaseOperation::cancel()).
    void cancelAllOperations();
    /// Blocks until every operation added before or during the wait has finished. Never call it
    /// from an operation of this queue, nor on the main thread for the main queue.
    void waitUntilAllOperationsAreFinished();

    /// Runs `block` on the queue and returns at once; the block never runs inline. On the main
    /// queue the block is posted straight to the application's event loop (it is not an
    /// operation: operationCount() does not see it), also when called on the main thread.
    /// Throws "Invalid parameter not satisfying: block" without a block.
    void performBlock(Block block);
    /// Runs `block` as an operation of the queue and waits until it has finished. Never call it
    /// from an operation of this queue when the queue's width is 1, nor on the main thread for
    /// the main queue: the block could never start. Throws "Invalid parameter not satisfying:
    /// block" without a block.
    void performBlockAndWait(Block block);

    /// The queue's Qt signals (operationFinished(), becameIdle()), made on first use and owned
    /// by the queue object; see QMOperationQueueNotifier. They come from the worker that ran
    /// the operation, after the operation's completion block and its own finished(), and are
    /// emitted for operations that finish after the notifier was made. Any thread.
    QMOperationQueueNotifier *notifier() const;

private:
    friend class QMMainQueuePoster;
    struct MainQueueTag;
    explicit QMOperationQueue(MainQueueTag);
    class Private;
    // Shared with the worker threads, which may outlive the queue object (see above).
    std::shared_ptr<Private> d;
};
