#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include <QList>
#include <QString>

#include <memory>

/// The reverse-DNS prefix of the library's queue names.
QMF_CORE_EXPORT extern const QString QMFoundationQueueNamePrefix;

/// The name of one of the library's queues: "org.qmfoundation", ".foundation." and `name`, with
/// nothing between them ("org.qmfoundation.foundation.TaskOperation.FileHandleQueue"). An empty
/// or null name gives "org.qmfoundation.foundation.".
QMF_CORE_EXPORT QString QMMakeFoundationQueueName(const QString &name);
/// A new serial queue named QMMakeFoundationQueueName(name), as the library's own serial queues
/// are.
QMF_CORE_EXPORT std::shared_ptr<QMOperationQueue> QMMakeFoundationSerialQueue(const QString &name);

/// A registry of operation queues that the host fills (typically at start-up) and then looks
/// queues up in by name.
///
/// Threads: the manager takes no lock. Lookups search a snapshot, but taking the snapshot and
/// every addition touch the shared list: the host must not add a queue while another thread
/// adds one or looks one up. Register queues before the first lookup.
class QMF_CORE_EXPORT QMQueueManager
{
public:
    /// A list of shared queues.
    using QueueList = QList<std::shared_ptr<QMOperationQueue>>;

    /// An empty registry.
    QMQueueManager();
    ~QMQueueManager();
    QMQueueManager(const QMQueueManager &) = delete;
    QMQueueManager &operator=(const QMQueueManager &) = delete;

    /// The process-wide manager, created on the first call (once, also when several threads
    /// make the first call at the same time) and kept for the life of the process.
    static QMQueueManager &sharedManager();

    /// The registry, in order of addition; a queue may stand more than once.
    QueueList managedQueues() const;
    /// Replaces the registry.
    void setManagedQueues(const QueueList &queues);

    /// Appends `queue`, without looking at its name. Throws "Invalid parameter not satisfying:
    /// queue" for a null queue.
    void addQueue(const std::shared_ptr<QMOperationQueue> &queue);
    /// A copy of the registry taken now; later additions do not change it.
    QueueList allQueues() const;
    /// The first queue, in order of addition, whose name equals `name` character for
    /// character; nullptr when none does or when `name` is null. A queue without a name (a
    /// null name) matches no name, not even an empty one.
    std::shared_ptr<QMOperationQueue> queueForName(const QString &name) const;

private:
    class Private;
    std::unique_ptr<Private> d;
};
