#include "ObservationTestSupport.h"
#include "observation/QMObserver.h"
#include "operations/QMOperationQueue.h"

#include <QPointer>

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <utility>
#include <vector>

using ObservationTestSupport::Recorder;
using ObservationTestSupport::runEventsUntil;

namespace {

const QString Ping = QStringLiteral("Ping");
const QString Pong = QStringLiteral("Pong");

// An observer whose target, sender and registrations the test sets.
class TestObserver : public QMObserver
{
public:
    explicit TestObserver(std::shared_ptr<QMNotificationCenter> center,
                          std::vector<std::pair<QString, QByteArray>> actions = {{Ping, "handle"}})
        : actions(std::move(actions))
    {
        setNotificationCenter(std::move(center));
        // Synchronous delivery unless a test asks for a queue: the checks need no event loop.
        setQueue(nullptr);
    }

    QObject *notificationObject() const override { return sender; }
    QObject *invocationTarget() const override { return target; }

    QPointer<QObject> target;
    QPointer<QObject> sender;
    std::vector<std::pair<QString, QByteArray>> actions;
    int registrations = 0;

protected:
    void registerObservers() override
    {
        ++registrations;
        for (const auto &[name, action] : actions)
            registerNotificationWithName(name, action);
    }
};

} // namespace

TEST(ObserverTest, DefaultsAreTheMainQueueAndTheDefaultCenter)
{
    QMObserver observer;
    EXPECT_EQ(observer.queue(), QMOperationQueue::mainQueue());
    EXPECT_EQ(observer.notificationCenter(), QMNotificationCenter::defaultCenter());
    EXPECT_EQ(observer.notificationObject(), nullptr);
    EXPECT_EQ(observer.invocationTarget(), nullptr);
    EXPECT_FALSE(observer.isObserving());
    // The base hook registers nothing.
    observer.startObserving();
    EXPECT_FALSE(observer.isObserving());
}

TEST(ObserverTest, RegistersOnlyActionsTheTargetHas)
{
    struct Row
    {
        const char *what;
        bool hasTarget;
        QByteArray action;
        bool registered;
    };
    const Row rows[] = {
            {"no target", false, "handle", false},
            {"invokable method", true, "handle", true},
            {"slot taking the notification by value", true, "other", true},
            {"no such method", true, "missing", false},
            {"a method with another signature", true, "deleteLater", false},
            {"a full signature is not a name", true, "handle(QMNotification)", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const auto center = std::make_shared<QMNotificationCenter>();
        Recorder recorder;
        TestObserver observer(center, {{Ping, row.action}});
        if (row.hasTarget)
            observer.target = &recorder;
        observer.startObserving();
        EXPECT_EQ(observer.isObserving(), row.registered);
        EXPECT_EQ(observer.observers().contains(Ping), row.registered);
        center->postNotificationName(Ping);
        EXPECT_EQ(recorder.count(), row.registered ? 1 : 0);
    }
}

TEST(ObserverTest, StartingTwiceLeavesOneRegistrationPerName)
{
    const auto center = std::make_shared<QMNotificationCenter>();
    Recorder recorder;
    TestObserver observer(center, {{Ping, "handle"}, {Pong, "other"}});
    observer.target = &recorder;
    observer.startObserving();
    observer.startObserving();
    EXPECT_EQ(observer.registrations, 2);
    EXPECT_EQ(observer.observers().size(), 2);
    center->postNotificationName(Ping);
    center->postNotificationName(Pong);
    const auto calls = recorder.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].action, QStringLiteral("handle"));
    EXPECT_EQ(calls[0].notification.name(), Ping);
    EXPECT_EQ(calls[1].action, QStringLiteral("other"));
}

TEST(ObserverTest, StoppingOrDestructionEndsEveryRegistration)
{
    const auto center = std::make_shared<QMNotificationCenter>();
    Recorder recorder;
    // The same name twice: the second replaces the first in the table, and stopping must still
    // end both.
    auto observer = std::make_unique<TestObserver>(
            center,
            std::vector<std::pair<QString, QByteArray>> {{Ping, "handle"}, {Ping, "other"}});
    observer->target = &recorder;
    observer->startObserving();
    EXPECT_EQ(observer->observers().size(), 1);
    center->postNotificationName(Ping);
    EXPECT_EQ(recorder.count(), 2);

    observer->stopObserving();
    EXPECT_FALSE(observer->isObserving());
    EXPECT_TRUE(observer->observers().isEmpty());
    observer->stopObserving();
    center->postNotificationName(Ping);
    EXPECT_EQ(recorder.count(), 2);

    // Restarting after a stop works like the first start; destruction stops too.
    observer->actions = {{Ping, "handle"}};
    observer->startObserving();
    center->postNotificationName(Ping);
    EXPECT_EQ(recorder.count(), 3);
    observer.reset();
    center->postNotificationName(Ping);
    EXPECT_EQ(recorder.count(), 3);
}

TEST(ObserverTest, FiltersBySenderAndLooksUpTheTargetAtEachDelivery)
{
    const auto center = std::make_shared<QMNotificationCenter>();
    QObject sender;
    QObject stranger;
    Recorder first;
    Recorder second;
    QObject noActions;
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

TEST(ObserverTest, DeliversOnTheMainQueue)
{
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

    // Queued before the observer goes away, then dropped: the delivery finds it gone.
    auto doomed = std::make_unique<TestObserver>(center);
    doomed->setQueue(QMOperationQueue::mainQueue());
    doomed->target = &recorder;
    doomed->startObserving();
    observer.stopObserving();
    center->postNotificationName(Ping);
    doomed.reset();
    ObservationTestSupport::runEventsFor(std::chrono::milliseconds(50));
    EXPECT_EQ(recorder.count(), 2);
}
