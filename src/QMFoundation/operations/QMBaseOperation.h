#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QList>

#include <functional>
#include <memory>

class QMOperationQueue;
class QMOperationNotifier;

/// A unit of work that runs once, on a queue (QMOperationQueue) or through start().
///
/// An operation is pending until it starts, executing while main() runs and finished once main()
/// has returned (or at once, without main(), when it was cancelled before it started). Work goes
/// into main(), which subclasses override; the base's main() does nothing.
///
/// Ownership: operations are shared (`std::shared_ptr`) between their creator, the queue that
/// runs them (until they have finished) and the operations that depend on them (an operation
/// holds its dependencies strongly; a dependency knows its dependents only weakly). Make them
/// with `std::make_shared`: subclasses such as QMOperation reach themselves weakly from their
/// completion block.
///
/// Threads: every member may be called from any thread. main() runs on the thread that the
/// queue provides or that calls start(); the completion block and the executing observers run
/// on the thread that runs the operation, after main() (see below). No lock is held while any
/// of them runs.
class QMF_CORE_EXPORT QMBaseOperation : public std::enable_shared_from_this<QMBaseOperation>
{
public:
    /// The block run once after the operation has finished; see completionBlock().
    using CompletionBlock = std::function<void()>;
    /// Called with true just before main() runs and with false just after it returns.
    using ExecutingObserver = std::function<void(bool executing)>;
    /// A list of shared operations, as dependencies are held.
    using OperationList = QList<std::shared_ptr<QMBaseOperation>>;

    QMBaseOperation();
    virtual ~QMBaseOperation();
    QMBaseOperation(const QMBaseOperation &) = delete;
    QMBaseOperation &operator=(const QMBaseOperation &) = delete;

    /// Runs the operation on the calling thread: main() unless the operation is already
    /// cancelled, then the transition to finished, then the completion block. Returns when all
    /// of that is done. The first exception from main() or an executing observer leaves the
    /// operation finished (main() and the other observers still run, the completion block too)
    /// and then passes through. On a queue, such exceptions go to the uncaught-exception handler
    /// instead (see QMOperationQueue).
    ///
    /// Throws QMInternalInconsistencyException with "Operation has already been started" when
    /// the operation started before, "Operation is enqueued on a queue and cannot be started
    /// directly" when a queue owns it, and "Operation is not ready: a dependency has not
    /// finished" when a dependency is pending (unless the operation is cancelled, which makes
    /// it finish without running main()).
    void start();
    /// The work. Runs at most once, from start() or a queue.
    virtual void main();

    /// Marks the operation cancelled. It does not stop a main() that is running; main() reads
    /// isCancelled() where it can stop. A pending operation is released to its dependents and,
    /// when enqueued, finishes without running main() as soon as its queue gets to it, even if
    /// its own dependencies have not finished. Subclasses that override it call the base first.
    virtual void cancel();
    /// True once cancel() was called.
    bool isCancelled() const;
    /// True while main() runs.
    bool isExecuting() const;
    /// True once main() has returned, or once a cancelled operation was released without running
    /// it.
    bool isFinished() const;
    /// True when every dependency has finished or was cancelled before it started, or when the
    /// operation itself is cancelled.
    bool isReady() const;

    /// The block run once after the operation has finished, on the thread that ran it (a queue's
    /// worker, the main thread for the main queue, or the caller of start()); it is cleared once
    /// run. An operation cancelled before it started still runs it. A queue does not count the
    /// block against its width: the next operation may start while it runs.
    CompletionBlock completionBlock() const;
    /// Sets the completion block; an empty block removes it.
    void setCompletionBlock(CompletionBlock block);

    /// Observers of isExecuting(), called synchronously on the thread that runs the operation
    /// (true before main(), false after it, before isFinished() becomes true). After
    /// removeExecutingObserver() returns, the observer is not running and is not called again,
    /// except when it removes itself from inside its own call. Returns a token for removal.
    quint64 addExecutingObserver(ExecutingObserver observer);
    /// Removes the observer of `token`; an unknown token is ignored.
    void removeExecutingObserver(quint64 token);

    /// Holds this operation back until `operation` has finished (or was cancelled before it
    /// started). Adding a dependency after the operation started has no effect on it. A cycle
    /// of dependencies holds its operations back forever. Throws "Invalid parameter not
    /// satisfying: operation" for a null operation and "Invalid parameter not satisfying:
    /// operation != this" for the operation itself.
    void addDependency(const std::shared_ptr<QMBaseOperation> &operation);
    /// addDependency() for each element, in order; an empty list adds nothing. Throws "Invalid
    /// parameter not satisfying: dependencies" before adding any when an element is null.
    void addDependencies(const OperationList &dependencies);
    /// The operations this one waits for, in the order they were added.
    OperationList dependencies() const;

    /// The operation's Qt signals (started(), finished(), cancelled()), made on first use and
    /// owned by the operation; see QMOperationNotifier for their threads and order. Connect
    /// before the operation can start. Any thread.
    QMOperationNotifier *notifier() const;

    /// Blocks the calling thread until the operation has finished (not until its completion
    /// block has run). Never call it from the thread that would run the operation: on the main
    /// thread for an operation of the main queue, or from an operation of a serial queue for an
    /// operation of the same queue.
    void waitUntilFinished() const;

private:
    friend class QMOperationQueue;
    class Private;
    // Shared so that queues and dependents can reach the operation's state without owning the
    // operation (a finished dependency notifies its dependents through it).
    std::shared_ptr<Private> d;
};
