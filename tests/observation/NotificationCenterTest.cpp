#include "ObservationTestSupport.h"

using Token = QMNotificationCenter::Token;

namespace {

const QString Ping = u"Ping"_s;

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
    QObject a, b;
    const std::tuple<const char *, QString, QObject *, QString, QObject *, bool> rows[] = {
            // A null name matches every name, the empty name only itself.
            {"same name", Ping, nullptr, Ping, &a, true},
            {"other name", Ping, nullptr, u"Pong"_s, &a, false},
            {"null name matches all", QString(), nullptr, u"Pong"_s, &b, true},
            {"empty name is a name", u""_s, nullptr, Ping, nullptr, false},
            // Senders by identity; a null filter matches posts with or without a sender.
            {"same sender", Ping, &a, Ping, &a, true},
            {"other sender", Ping, &a, Ping, &b, false},
            {"sender wanted, none posted", Ping, &a, Ping, nullptr, false},
            {"any sender, none posted", Ping, nullptr, Ping, nullptr, true},
    };
    for (const auto &[what, name, sender, postedName, postedSender, delivered] : rows) {
        SCOPED_TRACE(what);
        QMNotificationCenter center;
        Counter counter;
        center.addObserverForName(name, sender, nullptr, counter.block());
        center.postNotificationName(postedName, postedSender);
        EXPECT_EQ(counter.count, delivered ? 1 : 0);
    }
    // A destroyed sender's filter neither turns into "any sender" nor matches another object.
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
    const QVariantMap info {{u"key"_s, 42}};
    std::vector<QMNotification> received;
    center.addObserverForName(Ping, nullptr, nullptr, [&](const QMNotification &note) {
        EXPECT_EQ(QThread::currentThread(), qApp->thread());
        received.push_back(note);
    });
    center.postNotificationName(Ping, &sender, info);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].name(), Ping);
    EXPECT_EQ(received[0].sender(), &sender);
    EXPECT_EQ(received[0].userInfo(), info);

    // The main queue: on the application's thread, later, whoever posts; a sender destroyed
    // meanwhile reads as null rather than dangling.
    std::vector<QMNotification> onMain;
    center.addObserverForName(u"Main"_s, nullptr, QMOperationQueue::mainQueue(),
                              [&](const QMNotification &note) {
                                  EXPECT_EQ(QThread::currentThread(), qApp->thread());
                                  onMain.push_back(note);
                              });
    std::thread([&] { center.postNotificationName(u"Main"_s); }).join();
    auto shortLived = std::make_unique<QObject>();
    center.postNotificationName(u"Main"_s, shortLived.get());
    shortLived.reset();
    EXPECT_TRUE(onMain.empty());
    ASSERT_TRUE(runEventsUntil([&] { return onMain.size() == 2; }));
    EXPECT_EQ(onMain[1].sender(), nullptr);
}

TEST(NotificationCenterTest, RemovalIsIdempotentAndDropsQueuedDeliveries)
{
    QMNotificationCenter center;
    Counter sync, onMain, onWorker, kept;
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
    runEventsFor(50ms);
    EXPECT_EQ(onMain.count + onWorker.count, 0);
    // Twice, a null token, and through another center: harmless, and the last still ends the
    // registration in the center that made it.
    center.removeObserver(mainToken);
    center.removeObserver(nullptr);
    QMNotificationCenter().removeObserver(syncToken);
    center.postNotificationName(Ping);
    EXPECT_EQ(sync.count, 1);
    EXPECT_EQ(kept.count, 2);

    // A block may remove itself, add and post during delivery.
    Token self;
    Counter added;
    self = center.addObserverForName(u"Self"_s, nullptr, nullptr, [&](const QMNotification &) {
        center.removeObserver(self);
        center.addObserverForName(u"Later"_s, nullptr, nullptr, added.block());
        center.postNotificationName(u"Later"_s);
        center.postNotificationName(u"Self"_s);
    });
    center.postNotificationName(u"Self"_s);
    EXPECT_EQ(added.count, 1); // once: the block ran once
    EXPECT_EQ(failureOf([&] { center.addObserverForName(Ping, nullptr, nullptr, {}); }),
              u"Invalid parameter not satisfying: block"_s);
}

// Posters send their own notifications (half delivered inside the post, half on a queue) while
// other threads add and remove registrations for every name: each poster's registration sees
// exactly its own posts, and once all are removed nothing is delivered.
TEST(NotificationCenterTest, ConcurrentPostAddAndRemove)
{
    QMNotificationCenter center;
    const auto queue = QMOperationQueue::queueWithMaxConcurrentOperationCount(2);
    constexpr int Posters = 4, Posts = 2000;
    QObject senders[Posters];
    std::atomic<int> received[Posters] = {};
    std::atomic<int> churned = 0;
    std::atomic<bool> stop = false;
    std::vector<std::thread> churners, posters;
    for (int i = 0; i < 2; ++i) {
        churners.emplace_back([&] {
            while (!stop)
                center.removeObserver(center.addObserverForName(QString(), nullptr, queue,
                                                                [&](const auto &) { ++churned; }));
        });
    }
    for (int i = 0; i < Posters; ++i) {
        posters.emplace_back([&, i] {
            const auto delivery = i % 2 ? queue : nullptr;
            const Token own = center.addObserverForName(Ping, &senders[i], delivery,
                                                        [&, i](const auto &) { ++received[i]; });
            for (int post = 0; post < Posts; ++post)
                center.postNotificationName(Ping, &senders[i]);
            if (delivery)
                delivery->waitUntilAllOperationsAreFinished();
            center.removeObserver(own);
        });
    }
    for (std::thread &thread : posters)
        thread.join();
    stop = true;
    for (std::thread &thread : churners)
        thread.join();
    queue->waitUntilAllOperationsAreFinished();
    const int churnedBefore = churned;
    for (int i = 0; i < Posters; ++i)
        center.postNotificationName(Ping, &senders[i]);
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(churned, churnedBefore);
    for (int i = 0; i < Posters; ++i)
        EXPECT_EQ(received[i], Posts);
}
