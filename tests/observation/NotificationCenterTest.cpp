#include "ObservationTestSupport.h"
#include "observation/QMNotificationCenter.h"
#include "operations/QMOperationQueue.h"
#include "support/Failures.h"

#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using ObservationTestSupport::runEventsFor;
using ObservationTestSupport::runEventsUntil;

namespace {

using Token = QMNotificationCenter::Token;

// Counts the deliveries of one registration, from any thread.
struct Counter
{
    std::atomic<int> count {0};
    QMNotificationCenter::Block block()
    {
        return [this](const QMNotification &) {
            ++count;
        };
    }
};

} // namespace

TEST(NotificationCenterTest, MatchesByNameAndBySenderIdentity)
{
    QObject a;
    QObject b;
    enum Sender { None, A, B };
    const auto object = [&](Sender s) -> QObject * {
        return s == A ? &a : s == B ? &b : nullptr;
    };
    struct Row
    {
        const char *what;
        QString registeredName;
        Sender registeredSender;
        QString postedName;
        Sender postedSender;
        bool delivered;
    };
    const QString Ping = QStringLiteral("Ping");
    const QString Pong = QStringLiteral("Pong");
    const Row rows[] = {
            // Names: equal texts match, a null name matches every name, the empty name only itself.
            {"same name, any sender", Ping, None, Ping, A, true},
            {"other name", Ping, None, Pong, A, false},
            {"null name matches all", QString(), None, Pong, B, true},
            {"empty name is a name", QStringLiteral(""), None, Ping, None, false},
            // Senders: by identity; a null sender filter matches posts with or without a sender.
            {"same sender", Ping, A, Ping, A, true},
            {"other sender", Ping, A, Ping, B, false},
            {"sender wanted, none posted", Ping, A, Ping, None, false},
            {"any sender, none posted", Ping, None, Ping, None, true},
            {"null name, wanted sender", QString(), B, Pong, B, true},
            {"null name, other sender", QString(), B, Pong, A, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        QMNotificationCenter center;
        Counter counter;
        center.addObserverForName(row.registeredName, object(row.registeredSender), nullptr,
                                  counter.block());
        center.postNotificationName(row.postedName, object(row.postedSender));
        EXPECT_EQ(counter.count, row.delivered ? 1 : 0);
    }
}

TEST(NotificationCenterTest, DestroyedSenderMatchesNoOtherSender)
{
    QMNotificationCenter center;
    Counter counter;
    auto sender = std::make_unique<QObject>();
    center.addObserverForName(QStringLiteral("Ping"), sender.get(), nullptr, counter.block());
    sender.reset();
    // Its filter must not turn into "any sender", nor match an object at the same address.
    center.postNotificationName(QStringLiteral("Ping"));
    QObject other;
    center.postNotificationName(QStringLiteral("Ping"), &other);
    EXPECT_EQ(counter.count, 0);
}

TEST(NotificationCenterTest, DeliversSynchronouslyWithoutQueueAndOnTheQueueOtherwise)
{
    QMNotificationCenter center;
    QObject sender;
    const QVariantMap info {{QStringLiteral("key"), 42}};

    std::vector<QMNotification> received;
    Qt::HANDLE deliveringThread = nullptr;
    center.addObserverForName(QStringLiteral("Sync"), nullptr, nullptr,
                              [&](const QMNotification &note) {
                                  received.push_back(note);
                                  deliveringThread = QThread::currentThreadId();
                              });
    center.postNotificationName(QStringLiteral("Sync"), &sender, info);
    // Inside the post, on the posting thread.
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(deliveringThread, QThread::currentThreadId());
    EXPECT_EQ(received[0].name(), QStringLiteral("Sync"));
    EXPECT_EQ(received[0].sender(), &sender);
    EXPECT_EQ(received[0].userInfo(), info);

    const auto queue = QMOperationQueue::serialQueue();
    std::atomic<Qt::HANDLE> queueThread = nullptr;
    std::atomic<int> queued = 0;
    center.addObserverForName(QStringLiteral("Queued"), nullptr, queue,
                              [&](const QMNotification &note) {
                                  EXPECT_EQ(note.userInfo(), info);
                                  queueThread = QThread::currentThreadId();
                                  ++queued;
                              });
    center.postNotification(QMNotification(QStringLiteral("Queued"), &sender, info));
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(queued, 1);
    EXPECT_NE(queueThread.load(), QThread::currentThreadId());

    // The main queue delivers on the application's thread, never inside the post.
    std::atomic<int> onMain = 0;
    center.addObserverForName(QStringLiteral("Main"), nullptr, QMOperationQueue::mainQueue(),
                              [&](const QMNotification &) {
                                  EXPECT_EQ(QThread::currentThread(), qApp->thread());
                                  ++onMain;
                              });
    std::thread([&] { center.postNotificationName(QStringLiteral("Main")); }).join();
    center.postNotificationName(QStringLiteral("Main"));
    EXPECT_EQ(onMain, 0);
    EXPECT_TRUE(runEventsUntil([&] { return onMain == 2; }));
}

TEST(NotificationCenterTest, QueuedNotificationKeepsNoDestroyedSender)
{
    QMNotificationCenter center;
    std::vector<QMNotification> received;
    center.addObserverForName(QString(), nullptr, QMOperationQueue::mainQueue(),
                              [&](const QMNotification &note) { received.push_back(note); });
    auto sender = std::make_unique<QObject>();
    center.postNotificationName(QStringLiteral("Gone"), sender.get());
    sender.reset();
    ASSERT_TRUE(runEventsUntil([&] { return received.size() == 1; }));
    EXPECT_EQ(received[0].sender(), nullptr);
}

TEST(NotificationCenterTest, RemovalIsIdempotentAndStopsQueuedDeliveries)
{
    QMNotificationCenter center;
    QMNotificationCenter otherCenter;
    Counter sync;
    Counter onMain;
    Counter onWorker;
    Counter kept;
    const auto held = QMOperationQueue::queueWithMaxConcurrentOperationCount(0);
    const Token syncToken
            = center.addObserverForName(QStringLiteral("N"), nullptr, nullptr, sync.block());
    const Token mainToken = center.addObserverForName(
            QStringLiteral("N"), nullptr, QMOperationQueue::mainQueue(), onMain.block());
    const Token workerToken
            = center.addObserverForName(QStringLiteral("N"), nullptr, held, onWorker.block());
    center.addObserverForName(QStringLiteral("N"), nullptr, nullptr, kept.block());

    // Posted before removal but still waiting on their queues when removal returns.
    center.postNotificationName(QStringLiteral("N"));
    EXPECT_EQ(sync.count, 1);
    center.removeObserver(mainToken);
    center.removeObserver(workerToken);
    held->setMaxConcurrentOperationCount(1);
    held->waitUntilAllOperationsAreFinished();
    runEventsFor(50ms);
    EXPECT_EQ(onMain.count, 0);
    EXPECT_EQ(onWorker.count, 0);

    // Twice, a null token, and through another center: all harmless, and the last still removes
    // the registration from the center that made it.
    center.removeObserver(mainToken);
    center.removeObserver(nullptr);
    otherCenter.removeObserver(syncToken);
    center.postNotificationName(QStringLiteral("N"));
    EXPECT_EQ(sync.count, 1);
    EXPECT_EQ(kept.count, 2);
}

TEST(NotificationCenterTest, BlocksMayUseTheCenterDuringDelivery)
{
    QMNotificationCenter center;
    Token self;
    int calls = 0;
    Counter added;
    self = center.addObserverForName(
            QStringLiteral("Once"), nullptr, nullptr, [&](const QMNotification &) {
                ++calls;
                center.removeObserver(self);
                center.addObserverForName(QStringLiteral("Later"), nullptr, nullptr, added.block());
                center.postNotificationName(QStringLiteral("Later"));
                center.postNotificationName(QStringLiteral("Once"));
            });
    center.postNotificationName(QStringLiteral("Once"));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(added.count, 1);
}

TEST(NotificationCenterTest, RejectsMissingBlock)
{
    QMNotificationCenter center;
    EXPECT_EQ(TestSupport::failureOf([&] {
                  center.addObserverForName(QStringLiteral("N"), nullptr, nullptr, {});
              }),
              QStringLiteral("Invalid parameter not satisfying: block"));
    EXPECT_EQ(QMNotificationCenter::defaultCenter(), QMNotificationCenter::defaultCenter());
}

// Threads post their own notifications while others add and remove registrations for every
// name: each thread's own registration must see exactly its own posts, and once every
// registration is removed nothing is delivered any more.
TEST(NotificationCenterTest, ConcurrentPostAddAndRemove)
{
    QMNotificationCenter center;
    const auto queue = QMOperationQueue::queueWithMaxConcurrentOperationCount(2);
    constexpr int Posters = 3;
    std::atomic<bool> stop = false;
    std::vector<std::unique_ptr<QObject>> senders;
    for (int i = 0; i < Posters; ++i)
        senders.push_back(std::make_unique<QObject>());
    std::vector<std::atomic<int>> received(Posters);
    std::vector<int> posted(Posters, 0);
    std::atomic<int> churned = 0;

    std::vector<std::thread> threads;
    for (int i = 0; i < Posters; ++i) {
        threads.emplace_back([&, i] {
            const QString name = QStringLiteral("Poster%1").arg(i);
            // Every other poster is delivered to on the queue, the rest inside their posts.
            const auto delivery = i % 2 ? queue : nullptr;
            const Token own
                    = center.addObserverForName(name, senders[i].get(), delivery,
                                                [&, i](const QMNotification &) { ++received[i]; });
            while (!stop) {
                center.postNotificationName(name, senders[i].get());
                ++posted[i];
            }
            if (delivery)
                delivery->waitUntilAllOperationsAreFinished();
            center.removeObserver(own);
        });
    }
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            while (!stop) {
                const Token token = center.addObserverForName(
                        QString(), nullptr, queue, [&](const QMNotification &) { ++churned; });
                center.removeObserver(token);
            }
        });
    }
    std::this_thread::sleep_for(300ms); // the length of the run, not a synchronisation
    stop = true;
    for (std::thread &thread : threads)
        thread.join();
    queue->waitUntilAllOperationsAreFinished();
    for (int i = 0; i < Posters; ++i) {
        SCOPED_TRACE(i);
        EXPECT_GT(posted[i], 0);
        EXPECT_EQ(received[i], posted[i]);
    }
    const int churnedBefore = churned;
    for (int i = 0; i < Posters; ++i)
        center.postNotificationName(QStringLiteral("Poster%1").arg(i), senders[i].get());
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(churned, churnedBefore);
    for (int i = 0; i < Posters; ++i)
        EXPECT_EQ(received[i], posted[i]);
}
