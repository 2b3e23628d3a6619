#include "support/Failures.h"
#include "text/TextTestSupport.h"

#include <QMFoundation/operations/QMQueueManager.h>

#include <gtest/gtest.h>

using TestSupport::failureOf;
using namespace Qt::StringLiterals;

namespace {

std::shared_ptr<QMOperationQueue> namedQueue(const QString &name)
{
    auto queue = QMOperationQueue::serialQueue();
    queue->setName(name);
    return queue;
}

} // namespace

TEST(QueueManagerTest, FoundationQueueNamesJoinThePrefixAndTheName)
{
    EXPECT_EQ(QMMakeFoundationQueueName(u"TaskOperation.FileHandleQueue"_s),
              u"org.qmfoundation.foundation.TaskOperation.FileHandleQueue"_s);
    EXPECT_EQ(QMMakeFoundationQueueName(QString()), u"org.qmfoundation.foundation."_s);
}

TEST(QueueManagerTest, QueueForNameFindsTheFirstQueueOfThatName)
{
    struct Row
    {
        const char *name;
        QStringList registered; // names of the queues in order of addition; "-" for none
        QString sought;
        qsizetype expected; // position among the registered queues, -1 for none
    };
    const Row rows[] = {
            {"single match", {u"a"_s, u"b"_s}, u"b"_s, 1},
            {"duplicates give the one added first", {u"x"_s, u"dup"_s, u"dup"_s}, u"dup"_s, 1},
            {"names compare exactly", {u"Jobs"_s}, u"jobs"_s, -1},
            {"null name", {u"a"_s, u"-"_s}, QString(), -1},
            {"unnamed queues match no name, not even an empty one", {u"-"_s, u"-"_s}, u""_s, -1},
            {"an empty name matches a queue named so", {u"-"_s, u""_s}, u""_s, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QMQueueManager manager;
        QMQueueManager::QueueList queues;
        for (const QString &name : row.registered) {
            queues.append(namedQueue(name == u"-" ? QString() : name));
            manager.addQueue(queues.last());
        }
        EXPECT_EQ(manager.queueForName(row.sought),
                  row.expected < 0 ? nullptr : queues[row.expected]);
    }
}

TEST(QueueManagerTest, AddsEveryQueueButNone)
{
    QMQueueManager manager;
    const auto first = namedQueue(u"first"_s);
    // The same queue may stand twice.
    manager.addQueue(first);
    manager.addQueue(first);
    EXPECT_EQ(failureOf([&] { manager.addQueue(nullptr); }),
              u"Invalid parameter not satisfying: queue"_s);
    EXPECT_EQ(manager.allQueues(), (QMQueueManager::QueueList {first, first}));
    EXPECT_EQ(manager.managedQueues(), manager.allQueues());
}
