#include "ObservationTestSupport.h"
#include "observation/QMNotificationCenter.h"
#include "operations/QMOperationQueue.h"
#include "support/Failures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using ObservationTestSupport::runEventsUntil;
using Token = QMNotificationCenter::Token;

namespace {

const QString Ping = QStringLiteral("Ping");

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
    struct Row
    {
        const char *what;
        QString registeredName;
        QObject *registeredSender;
        QString postedName;
        QObject *postedSender;
        bool delivered;
    };
    const QString Pong = QStringLiteral("Pong");
    const Row rows[] = {
            // Names: equal texts match, a null name matches every name, the empty name only itself.
            {"same name", Ping, nullptr, Ping, &a, true},
            {"other name", Ping, nullptr, Pong, &a, false},
            {"null name matches all", QString(), nullptr, Pong, &b, true},
            {"empty name is a name", QStringLiteral(""), nullptr, Ping, nullptr, false},
            // Senders: by identity; a null filter matches posts with or without a sender.
            {"same sender", Ping, &a, Ping, &a, true},
            {"other sender", Ping, &a, Ping, &b, false},
            {"sender wanted, none posted", Ping, &a, Ping, nullptr, false},
            {"any sender, none posted", Ping, nullptr, Ping, nullptr, true},
            {"null name, other sender", QString(), &b, Pong, &a, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        QMNotificationCenter center;
        Counter counter;
        center.addObserverForName(row.registeredName, row.registeredSender, nullptr,
                                  counter.block());
        center.postNotificationName(row.postedName, row.postedSender);
        EXPECT_EQ(counter.count, row.delivered ? 1 : 0);
    }

    // A destroyed sender's filter must neither turn into "any sender" nor match another object.
    QMNotificationCenter center;
    Counter counter;
    auto gone = std::make_unique<QObject>();
    center.addObserverForName(Ping, gone.get(), nullptr, counter.block());
    gone.reset();
    center.postNotificationName(Ping);
    center.postNotificationName(Ping, &a);
    EXPECT_EQ(counter.count, 0);
}

TEST(NotificationCenterTest, DeliversInsideThePostOrOnTheQueue)
{
    QMNotificationCenter center;
    QObject sender;
    const QVariantMap info {{QStringLiteral("key"), 42}};

    std::vector<QMNotification> received;
    std::vector<std::thread::id> threads;
    center.addObserverForName(Ping, nullptr, nullptr, [&](const QMNotification &note) {
        received.push_back(note);
        threads.push_back(std::this_thread::get_id());
    });
    center.postNotificationName(Ping, &sender, info);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(threads[0], std::this_thread::get_id());
    EXPECT_EQ(received[0].name(), Ping);
    EXPECT_EQ(received[0].sender(), &sender);
    EXPECT_EQ(received[0].userInfo(), info);

    const auto queue = QMOperationQueue::serialQueue();
    std::atomic<bool> onWorker = false;
    center.addObserverForName(
            QStringLiteral("Queued"), nullptr, queue,
            [&](const QMNotification &) { onWorker = std::this_thread::get_id() != threads[0]; });
    center.postNotification(QMNotification(QStringLiteral("Queued")));
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(onWorker);

    // The main queue: on the application's thread, later, whoever posts; a sender destroyed
    // meanwhile reads as null rather than dangling.
    std::vector<QMNotification> onMain;
    center.addObserverForName(QStringLiteral("Main"), nullptr, QMOperationQueue::mainQueue(),
                              [&](const QMNotification &note) {
                                  EXPECT_EQ(QThread::currentThread(), qApp->thread());
                                  onMain.push_back(note);
                              });
    std::thread([&] { center.postNotificationName(QStringLiteral("Main")); }).join();
    auto shortLived = std::make_unique<QObject>();
    center.postNotificationName(QStringLiteral("Main"), shortLived.get());
    shortLived.reset();
    EXPECT_TRUE(onMain.empty());
    ASSERT_TRUE(runEventsUntil([&] { return onMain.size() == 2; }));
    EXPECT_EQ(onMain[1].sender(), nullptr);
}

TEST(NotificationCenterTest, RemovalIsIdempotentAndDropsQueuedDeliveries)
{
    QMNotificationCenter center;
    Counter sync;
    Counter onMain;
    Counter onWorker;
    Counter kept;
    const auto held = QMOperationQueue::queueWithMaxConcurrentOperationCount(0);
    const Token syncToken = center.addObserverForName(Ping, nullptr, nullptr, sync.block());
    const Token mainToken = center.addObserverForName(Ping, nullptr, QMOperationQueue::mainQueue(),
                                                      onMain.block());
    const Token workerToken = center.addObserverForName(Ping, nullptr, held, onWorker.block());
    center.addObserverForName(Ping, nullptr, nullptr, kept.block());

    // Posted before removal, still waiting on their queues when removal returns.
    center.postNotificationName(Ping);
    center.removeObserver(mainToken);
    center.removeObserver(workerToken);
    held->setMaxConcurrentOperationCount(1);
    held->waitUntilAllOperationsAreFinished();
    ObservationTestSupport::runEventsFor(50ms);
    EXPECT_EQ(onMain.count, 0);
    EXPECT_EQ(onWorker.count, 0);

    // Twice, a null token, and through another center: harmless, and the last still ends the
    // registration in the center that made it.
    center.removeObserver(mainToken);
    center.removeObserver(nullptr);
    QMNotificationCenter().removeObserver(syncToken);
    center.postNotificationName(Ping);
    EXPECT_EQ(sync.count, 1);
    EXPECT_EQ(kept.count, 2);
}

TEST(NotificationCenterTest, BlocksMayUseTheCenterDuringDelivery)
{
    QMNotificationCenter center;
    Token self;
    int calls = 0;
    Counter added;
    self = center.addObserverForName(Ping, nullptr, nullptr, [&](const QMNotification &) {
        ++calls;
        center.removeObserver(self);
        center.addObserverForName(QStringLiteral("Later"), nullptr, nullptr, added.block());
        center.postNotificationName(QStringLiteral("Later"));
        center.postNotificationName(Ping);
    });
    center.postNotificationName(Ping);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(added.count, 1);

    EXPECT_EQ(
            TestSupport::failureOf([&] { center.addObserverForName(Ping, nullptr, nullptr, {}); }),
            QStringLiteral("Invalid parameter not satisfying: block"));
}

// Posters send their own notifications (half delivered inside the post, half on a queue) while
// other threads add and remove registrations for every name: each poster's registration sees
// exactly its own posts, and once all are removed nothing is delivered.
TEST(NotificationCenterTest, ConcurrentPostAddAndRemove)
{
    QMNotificationCenter center;
    const auto queue = QMOperationQueue::queueWithMaxConcurrentOperationCount(2);
    constexpr int Posters = 4;
    std::atomic<bool> stop = false;
    QObject senders[Posters];
    std::atomic<int> received[Posters] = {};
    int posted[Posters] = {};
    std::atomic<int> churned = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < Posters; ++i) {
        threads.emplace_back([&, i] {
            const auto delivery = i % 2 ? queue : nullptr;
            const Token own = center.addObserverForName(
                    Ping, &senders[i], delivery, [&, i](const QMNotification &) { ++received[i]; });
            for (; !stop; ++posted[i])
                center.postNotificationName(Ping, &senders[i]);
            if (delivery)
                delivery->waitUntilAllOperationsAreFinished();
            center.removeObserver(own);
        });
    }
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            while (!stop) {
                center.removeObserver(center.addObserverForName(
                        QString(), nullptr, queue, [&](const QMNotification &) { ++churned; }));
            }
        });
    }
    std::this_thread::sleep_for(300ms); // the length of the run, not a synchronisation
    stop = true;
    for (std::thread &thread : threads)
        thread.join();
    queue->waitUntilAllOperationsAreFinished();
    const int churnedBefore = churned;
    for (int i = 0; i < Posters; ++i) {
        SCOPED_TRACE(i);
        EXPECT_GT(posted[i], 0);
        center.postNotificationName(Ping, &senders[i]);
    }
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(churned, churnedBefore);
    for (int i = 0; i < Posters; ++i)
        EXPECT_EQ(received[i], posted[i]);
}
