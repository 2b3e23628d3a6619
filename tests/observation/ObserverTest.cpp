#include "ObservationTestSupport.h"
#include <QMFoundation/observation/QMObserver.h>

using Actions = std::vector<std::pair<QString, QByteArray>>;

namespace {

const QString Ping = u"Ping"_s;
const QString Pong = u"Pong"_s;

// An observer whose target, sender and registrations the test sets; it delivers synchronously
// unless a test asks for a queue, so most checks need no event loop.
class TestObserver : public QMObserver
{
public:
    explicit TestObserver(std::shared_ptr<QMNotificationCenter> center,
                          Actions handlers = {{Ping, "handle"}})
        : actions(std::move(handlers))
    {
        setNotificationCenter(std::move(center));
        setQueue(nullptr);
    }

    QObject *notificationObject() const override { return sender; }
    QObject *invocationTarget() const override { return target; }

    QPointer<QObject> target, sender;
    Actions actions;

protected:
    void registerObservers() override
    {
        for (const auto &[name, action] : actions)
            registerNotificationWithName(name, action);
    }
};

} // namespace

TEST(ObserverTest, RegistersOnlyActionsTheTargetHas)
{
    const std::tuple<const char *, bool, QByteArray, bool> rows[] = {
            {"no target", false, "handle", false},
            {"invokable method", true, "handle", true},
            {"slot taking the notification by value", true, "other", true},
            {"no such method", true, "missing", false},
            {"a method with another signature", true, "deleteLater", false},
            {"a full signature is not a name", true, "handle(QMNotification)", false},
    };
    for (const auto &[what, hasTarget, action, registered] : rows) {
        SCOPED_TRACE(what);
        const auto center = std::make_shared<QMNotificationCenter>();
        Recorder recorder;
        TestObserver observer(center, {{Ping, action}});
        if (hasTarget)
            observer.target = &recorder;
        observer.startObserving();
        EXPECT_EQ(observer.isObserving(), registered);
        center->postNotificationName(Ping);
        EXPECT_EQ(recorder.count(), registered ? 1 : 0);
    }
}

TEST(ObserverTest, StartingTwiceLeavesOneRegistrationPerNameAndStoppingEndsAll)
{
    const auto center = std::make_shared<QMNotificationCenter>();
    Recorder recorder;
    auto observer
            = std::make_unique<TestObserver>(center, Actions {{Ping, "handle"}, {Pong, "other"}});
    observer->target = &recorder;
    observer->startObserving();
    observer->startObserving();
    EXPECT_EQ(observer->observers().size(), 2);
    center->postNotificationName(Ping);
    center->postNotificationName(Pong);
    auto calls = recorder.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].method, u"handle"_s);
    EXPECT_EQ(calls[0].notification.name(), Ping);
    EXPECT_EQ(calls[1].method, u"other"_s);

    // The same name twice: the second replaces the first in the table, and stopping (twice is
    // harmless) still ends both.
    observer->actions = {{Ping, "handle"}, {Ping, "other"}};
    observer->startObserving();
    center->postNotificationName(Ping);
    EXPECT_EQ(recorder.count(), 4);
    observer->stopObserving();
    observer->stopObserving();
    EXPECT_FALSE(observer->isObserving());
    center->postNotificationName(Ping);
    EXPECT_EQ(recorder.count(), 4);

    // Destruction stops too.
    observer->startObserving();
    observer.reset();
    center->postNotificationName(Ping);
    EXPECT_EQ(recorder.count(), 4);
}

TEST(ObserverTest, FiltersBySenderAndLooksUpTheTargetAtEachDelivery)
{
    const auto center = std::make_shared<QMNotificationCenter>();
    QObject sender, stranger, noActions;
    Recorder first, second;
    TestObserver observer(center);
    observer.sender = &sender;
    observer.target = &first;
    observer.startObserving();

    center->postNotificationName(Ping, &stranger);
    center->postNotificationName(Ping, &sender);
    observer.target = &second;
    center->postNotificationName(Ping, &sender);
    // A target without the action is skipped silently, a missing one likewise.
    observer.target = &noActions;
    center->postNotificationName(Ping, &sender);
    observer.target = nullptr;
    center->postNotificationName(Ping, &sender);
    observer.target = &first;
    center->postNotificationName(Ping, &sender);

    EXPECT_EQ(first.count(), 2);
    ASSERT_EQ(second.count(), 1);
    EXPECT_EQ(second.calls()[0].notification.sender(), &sender);
}

TEST(ObserverTest, DeliversOnTheMainQueueByDefault)
{
    EXPECT_EQ(QMObserver().queue(), QMOperationQueue::mainQueue());
    const auto center = std::make_shared<QMNotificationCenter>();
    Recorder recorder;
    TestObserver observer(center);
    observer.setQueue(QMOperationQueue::mainQueue());
    observer.target = &recorder;
    observer.startObserving();
    std::thread([&] { center->postNotificationName(Ping); }).join();
    center->postNotificationName(Ping);
    EXPECT_EQ(recorder.count(), 0);
    ASSERT_TRUE(runEventsUntil([&] { return recorder.count() == 2; }));
    for (const Recorder::Call &call : recorder.calls())
        EXPECT_EQ(call.thread, qApp->thread());

    // Queued before the observer goes away: the delivery finds it gone.
    auto doomed = std::make_unique<TestObserver>(center);
    doomed->setQueue(QMOperationQueue::mainQueue());
    doomed->target = &recorder;
    doomed->startObserving();
    observer.stopObserving();
    center->postNotificationName(Ping);
    doomed.reset();
    runEventsFor(std::chrono::milliseconds(50));
    EXPECT_EQ(recorder.count(), 2);
}
