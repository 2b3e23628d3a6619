#include "ObservationTestSupport.h"
#include "support/CaughtExceptions.h"

#include <QMFoundation/observation/Blocks.h>
#include <QMFoundation/observation/QMPerformBlock.h>

#include <QMetaMethod>

#include <stdexcept>

using TestSupport::CaughtExceptions;
using TestSupport::returnsWithin;

namespace {

// A property whose getter runs whatever the test gives it: the host's code, reached by the
// layer whenever it reads the value.
class HookedGetter : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int value READ value WRITE setValue NOTIFY valueChanged)
    Q_PROPERTY(HookedGetter *child READ child WRITE setChild NOTIFY childChanged)

public:
    int value() const
    {
        if (onRead)
            onRead();
        return m_value.load();
    }
    void setValue(int value)
    {
        m_value = value;
        Q_EMIT valueChanged();
    }

    HookedGetter *child() const
    {
        if (onRead)
            onRead();
        return m_child.load();
    }
    void setChild(HookedGetter *child)
    {
        m_child = child;
        Q_EMIT childChanged();
    }

    std::function<void()> onRead;
    // Run by Qt when something connects to valueChanged().
    std::function<void()> onConnect;

protected:
    void connectNotify(const QMetaMethod &signal) override
    {
        if (signal == QMetaMethod::fromSignal(&HookedGetter::valueChanged) && onConnect)
            onConnect();
    }

Q_SIGNALS:
    void valueChanged();
    void childChanged();

private:
    std::atomic<int> m_value {0};
    std::atomic<HookedGetter *> m_child {nullptr};
};

} // namespace

// A timer's block that throws does not unwind through the event loop, and the timer keeps its
// schedule: it fires again.
TEST(ObservationEdgesTest, TimerKeepsFiringAfterItsBlockThrows)
{
    CaughtExceptions caught;
    int fired = 0;
    const QPointer<QTimer> timer = Blocks::scheduleTimerWithTimeInterval(0, true, [&](QTimer *t) {
        if (++fired == 3)
            t->deleteLater();
        throw std::runtime_error("tick " + std::to_string(fired));
    });
    ASSERT_TRUE(runEventsUntil([&] { return !timer; }));
    EXPECT_EQ(caught.entries(),
              QStringList({u"a timer's block: tick 1"_s, u"a timer's block: tick 2"_s,
                           u"a timer's block: tick 3"_s}));
}

// Blocks run later on the main thread, with and without a wait: the handler gets what they
// throw, and the ones after them run.
TEST(ObservationEdgesTest, DelayedBlocksThatThrowReachTheHandler)
{
    CaughtExceptions caught;
    int ran = 0;
    QMPerformBlock::performBlockOnMainThread([] { throw std::runtime_error("now"); }, 0);
    QMPerformBlock::performBlockOnMainThread([] { throw std::runtime_error("later"); }, 0.002);
    QMPerformBlock::performBlockOnMainThread([&] { ++ran; }, 0.003);
    ASSERT_TRUE(runEventsUntil([&] { return ran == 1; }));
    EXPECT_EQ(caught.entries(),
              QStringList({u"a block performed on the main thread: now"_s,
                           u"a block performed on the main thread: later"_s}));
}

// A notification block delivered on a queue is the queue's work: what it throws reaches the
// handler with the notification's name, and the other registrations still get the
// notification. On the posting thread (no queue) the post is the caller's own call and the
// exception reaches the caller.
TEST(ObservationEdgesTest, QueuedNotificationBlocksThatThrowDoNotStopTheOthers)
{
    CaughtExceptions caught;
    QMNotificationCenter center;
    const auto serial = QMOperationQueue::serialQueue();
    std::atomic<int> delivered = 0;
    for (const auto &queue : {serial, QMOperationQueue::mainQueue()}) {
        center.addObserverForName(u"Edge"_s, nullptr, queue, [](const QMNotification &) {
            throw std::runtime_error("queued");
        });
        center.addObserverForName(u"Edge"_s, nullptr, queue,
                                  [&](const QMNotification &) { ++delivered; });
    }
    center.postNotificationName(u"Edge"_s);
    serial->waitUntilAllOperationsAreFinished();
    ASSERT_TRUE(runEventsUntil([&] { return delivered == 2; }));
    EXPECT_EQ(caught.entries(),
              QStringList({u"a block observing notification \"Edge\": queued"_s,
                           u"a block observing notification \"Edge\": queued"_s}));

    center.addObserverForName(u"Direct"_s, nullptr, nullptr,
                              [](const QMNotification &) { throw std::runtime_error("direct"); });
    EXPECT_THROW(center.postNotificationName(u"Direct"_s), std::runtime_error);
    EXPECT_EQ(caught.entries().size(), 2);
}

// A key-value handler runs inside Qt's signal emission: its exception must not unwind through
// it. The setter returns, the other observations of the change still hear of it, and the
// handler names the key path.
TEST(ObservationEdgesTest, KeyValueHandlersThatThrowDoNotStopTheOthers)
{
    CaughtExceptions caught;
    KVOPerson person;
    int heard = 0;
    const auto throwing = QMKeyValueObserving::observe(
            &person, u"age"_s, 0, [](const QString &, QObject *, const QVariantMap &) {
                throw QMInternalInconsistencyException(u"handler failed"_s);
            });
    const auto listening = QMKeyValueObserving::observe(
            &person, u"age"_s, QMKeyValueObservingOptionNew,
            [&](const QString &, QObject *, const QVariantMap &change) {
                heard = change.value(NewKey).toInt();
            });
    person.setAge(7);
    EXPECT_EQ(heard, 7);
    EXPECT_EQ(caught.entries(),
              QStringList {u"a handler observing key path \"age\": handler failed"_s});

    // The center's message and block deliveries go through the same layer.
    Recorder recorder;
    kvoCenter()->addObserver(&recorder, &person, u"name"_s, 0,
                             [](const JXKVONotification &) { throw std::runtime_error("block"); });
    person.setName(u"Ann"_s);
    EXPECT_EQ(caught.entries().size(), 2);
    EXPECT_EQ(caught.entries().value(1), u"a handler observing key path \"name\": block"_s);
    kvoCenter()->removeObserver(&recorder, &person);
}

// The layer reads observed values and follows key paths through the host's getters with no
// lock of its own held, so a getter may come back to its observation, here removing it, without
// a deadlock.
TEST(ObservationEdgesTest, GettersMayRemoveTheirObservationWhileItReadsThem)
{
    struct Row
    {
        const char *label;
        QString keyPath;
        quint64 options;
        std::function<void(HookedGetter &)> change;
    };
    static HookedGetter child;
    const Row rows[] = {
            {"new value", u"value"_s, QMKeyValueObservingOptionNew,
             [](HookedGetter &object) {
                 object.setValue(1);
             }},
            {"old value", u"value"_s, QMKeyValueObservingOptionOld,
             [](HookedGetter &object) {
                 object.setValue(2);
             }},
            {"intermediate object", u"child.value"_s, 0,
             [](HookedGetter &object) {
                 object.setChild(&child);
             }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        // Left alive (leaked) if the change deadlocks, since the stuck thread still uses them.
        auto *object = new HookedGetter;
        auto observation = std::make_shared<std::shared_ptr<QMKeyValueObservation>>(
                QMKeyValueObserving::observe(
                        object, row.keyPath, row.options,
                        [](const QString &, QObject *, const QVariantMap &) {}));
        object->onRead = [observation] {
            (*observation)->remove();
        };
        const auto change = row.change;
        ASSERT_TRUE(returnsWithin([object, change] { change(*object); }))
                << "the getter's removal deadlocked the change";
        EXPECT_TRUE((*observation)->isRemoved());
        object->onRead = nullptr;
        delete object;
    }
}

// Qt calls an object's connectNotify() when the layer connects to its NOTIFY signal. The layer
// connects with none of its locks held, so such an override may itself observe. (Qt holds a
// lock of its own around disconnectNotify(), so there the host may not observe or stop
// observing, whatever the layer does.)
TEST(ObservationEdgesTest, ConnectHooksMayObserveToo)
{
    // Left alive (leaked) if a call deadlocks, since the stuck thread still uses them.
    auto *object = new HookedGetter;
    auto *person = new KVOPerson;
    auto inner = std::make_shared<std::shared_ptr<QMKeyValueObservation>>();
    int heard = 0;
    object->onConnect = [=, &heard] {
        *inner = QMKeyValueObserving::observe(
                person, u"age"_s, 0,
                [&heard](const QString &, QObject *, const QVariantMap &) { ++heard; });
    };
    std::shared_ptr<QMKeyValueObservation> outer;
    ASSERT_TRUE(returnsWithin([&] {
        outer = QMKeyValueObserving::observe(
                object, u"value"_s, 0, [](const QString &, QObject *, const QVariantMap &) {});
    })) << "observing from connectNotify() deadlocked";
    ASSERT_TRUE(*inner);
    person->setAge(3);
    EXPECT_EQ(heard, 1);
    outer->remove();
    (*inner)->remove();
    delete person;
    delete object;
}

// Without a handler of the host's, a timer's block that throws ends the process with the
// exception's description.
TEST(ObservationEdgesDeathTest, DefaultHandlerAbortsWithTheDescriptionOfATimersBlock)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
            {
                Blocks::scheduleTimerWithTimeInterval(0, false, [](QTimer *) {
                    throw QMInternalInconsistencyException(u"timer lost"_s);
                });
                runEventsFor(5s);
            },
            "Terminating app due to uncaught exception \\(caught in a timer's block\\):\n"
            "QMInternalInconsistencyException <0x[0-9a-f]+>.*reason: timer lost");
}

#include "ObservationEdgesTest.moc"
