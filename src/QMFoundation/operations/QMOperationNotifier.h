#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QObject>

#include <memory>

class QMBaseOperation;

/// Qt signals of one operation (QMBaseOperation::notifier()), for code that connects rather
/// than sets blocks. The operation classes are no QObjects; this object is made on first use,
/// belongs to the operation and lives as long as it does.
///
/// The signals come from the thread that runs the operation (a queue's worker, the
/// application's thread for the main queue, or the caller of start()), cancelled() from the
/// thread that calls cancel(). The object itself belongs to no thread, so a connection to a GUI
/// object is queued to the GUI thread automatically (Qt::AutoConnection compares the receiver's
/// thread with the emitting one). No lock of the library is held while a signal is emitted; an
/// exception that leaves a directly connected slot goes to QMUncaughtExceptions.
///
/// Order, for an operation that runs: the executing observers (true), started(), main(), the
/// executing observers (false), the completion block, finished(); on a queue, the queue's
/// operationFinished() follows (QMOperationQueueNotifier). An operation cancelled before it
/// starts emits cancelled() and, once released, finished() without started(). Connect before
/// the operation can start: a signal is not replayed for a late connection.
///
///     QObject::connect(operation->notifier(), &QMOperationNotifier::finished, window,
///                      [window] { window->showResults(); });
class QMF_CORE_EXPORT QMOperationNotifier : public QObject
{
    Q_OBJECT

public:
    /// Made by QMBaseOperation::notifier().
    QMOperationNotifier();
    ~QMOperationNotifier() override;

Q_SIGNALS:
    /// Just before main() runs, after the executing observers were told.
    void started();
    /// Once the operation has finished and its completion block has run.
    void finished();
    /// When cancel() is first called, on the cancelling thread, whether the operation has
    /// started or not.
    void cancelled();
};

/// Qt signals of one queue (QMOperationQueue::notifier()), made on first use and owned by the
/// queue: valid as long as the queue object.
///
/// The signals come from the queue's worker that ran the operation (the application's thread
/// for the main queue); the object belongs to no thread, so connections to GUI objects are
/// queued to the GUI thread automatically. No lock of the library is held while a signal is
/// emitted; an exception that leaves a directly connected slot goes to QMUncaughtExceptions.
///
///     QObject::connect(queue->notifier(), &QMOperationQueueNotifier::becameIdle, spinner,
///                      &QWidget::hide);
class QMF_CORE_EXPORT QMOperationQueueNotifier : public QObject
{
    Q_OBJECT

public:
    /// Made by QMOperationQueue::notifier().
    QMOperationQueueNotifier();
    ~QMOperationQueueNotifier() override;

Q_SIGNALS:
    /// An operation of the queue finished: after its completion block and its own finished().
    /// A cancelled operation that the queue released without running counts too.
    void operationFinished(std::shared_ptr<QMBaseOperation> operation);
    /// The queue has no operation left: the one that finished last has, and every
    /// operationFinished() of the queue has been emitted. Emitted after that last
    /// operationFinished(), on the same thread; by the time a queued connection delivers it,
    /// new operations may have been added.
    void becameIdle();
};
