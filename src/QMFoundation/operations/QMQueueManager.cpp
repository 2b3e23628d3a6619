#include <QMFoundation/operations/QMQueueManager.h>

#include <QMFoundation/errors/QMEquality.h>
#include <QMFoundation/errors/QMInternalInconsistencyException.h>

const QString QMFoundationQueueNamePrefix = QStringLiteral("org.qmfoundation");

QString QMMakeFoundationQueueName(const QString &name)
{
    return QMFoundationQueueNamePrefix + u".foundation." + name;
}

std::shared_ptr<QMOperationQueue> QMMakeFoundationSerialQueue(const QString &name)
{
    auto queue = QMOperationQueue::serialQueue();
    queue->setName(QMMakeFoundationQueueName(name));
    return queue;
}

class QMQueueManager::Private
{
public:
    QueueList managedQueues;
};

QMQueueManager::QMQueueManager()
    : d(std::make_unique<Private>())
{ }

QMQueueManager::~QMQueueManager() = default;

QMQueueManager &QMQueueManager::sharedManager()
{
    // C++'s thread-safe static initialisation makes it once, also under concurrent first calls.
    static QMQueueManager manager;
    return manager;
}

QMQueueManager::QueueList QMQueueManager::managedQueues() const
{
    return d->managedQueues;
}

void QMQueueManager::setManagedQueues(const QueueList &queues)
{
    d->managedQueues = queues;
}

void QMQueueManager::addQueue(const std::shared_ptr<QMOperationQueue> &queue)
{
    QMParameterAssert(queue != nullptr, "queue");
    d->managedQueues.append(queue);
}

QMQueueManager::QueueList QMQueueManager::allQueues() const
{
    return d->managedQueues;
}

std::shared_ptr<QMOperationQueue> QMQueueManager::queueForName(const QString &name) const
{
    if (name.isNull())
        return nullptr;
    const QueueList snapshot = allQueues();
    for (const std::shared_ptr<QMOperationQueue> &queue : snapshot) {
        if (QMEqualStrings(queue->name(), name))
            return queue;
    }
    return nullptr;
}
