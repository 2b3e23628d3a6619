// The notification center across threads: removal waits for deliveries running elsewhere,
// parties destroyed on other threads than the one that registered, and a random mix of
// registrations, changes and removals on eight threads.

#include "KVOTestObjects.h"

#include "observation/JXKVONotificationCategory.h"
#include "observation/JXKVONotificationCenter.h"
#include "observation/QMKeyValueObserving.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

JXKVONotificationCenter *center()
{
    return JXKVONotificationCenter::defaultCenter();
}

TEST(NotificationCenterThreads, RemovalReturnsOnlyAfterARunningDeliveryEnds)
{
    KVOPerson person;
    std::atomic<bool> entered {false};
    std::atomic<bool> removalReturned {false};
    std::atomic<bool> returnedWhileRunning {false};
    std::shared_ptr<JXKVOObservation> observation;
    std::atomic<int> calls {0};
    observation
            = center()->addObserver(nullptr, &person, "counter", 0, [&](const JXKVONotification &) {
                  ++calls;
                  entered = true;
                  // The remover has started (it marks the observation
                  // invalid first) and must now wait for us.
                  while (observation->isValid())
                      std::this_thread::yield();
                  returnedWhileRunning = removalReturned.load();
              });
    std::thread changer([&] { person.bump(); });
    while (!entered)
        std::this_thread::yield();
    observation->remove();
    removalReturned = true;
    changer.join();
    EXPECT_FALSE(returnedWhileRunning);
    person.bump();
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenterThreads, PartiesDestroyedOnAnotherThread)
{
    // Observer made here, destroyed on another thread.
    {
        KVOPerson target;
        auto *observer = new KVORecorder;
        const auto observation
                = center()->addObserver(observer, &target, "age", "observeValue", QVariant(), 0);
        target.setAge(1);
        EXPECT_EQ(observer->count(), 1u);
        std::thread([observer] { delete observer; }).join();
        EXPECT_FALSE(observation->isValid());
        target.setAge(2); // would call into the deleted observer if still registered
    }
    // Target made on another thread, observed here, destroyed on a third.
    {
        KVORecorder observer;
        KVOPerson *target = nullptr;
        std::thread([&] { target = new KVOPerson; }).join();
        const auto observation
                = center()->addObserver(&observer, target, "age", "observeValue", QVariant(), 0);
        std::thread([target] {
            target->setAge(3); // delivered on this thread
            delete target;
        }).join();
        EXPECT_FALSE(observation->isValid());
        EXPECT_EQ(observer.count(), 1u);
        JXKVONotificationCategory::stopObservingAllTargets(&observer); // finds nothing left
    }
}

// An observer that follows the rule for hosts whose targets change on other threads: it stops
// observing in its own destructor, before its members go.
class SelfStoppingObserver : public QObject
{
public:
    explicit SelfStoppingObserver(std::shared_ptr<std::atomic<bool>> gone)
        : m_gone(std::move(gone))
    { }
    ~SelfStoppingObserver() override
    {
        JXKVONotificationCategory::stopObservingAllTargets(this);
        m_gone->store(true);
    }
    void changed() { m_seen.fetch_add(1); }

private:
    std::shared_ptr<std::atomic<bool>> m_gone;
    std::atomic<int> m_seen {0};
};

TEST(NotificationCenterThreads, ObserverStoppingInItsDestructorIsSafeAgainstOtherThreads)
{
    KVOPerson target;
    std::atomic<bool> stop {false};
    std::atomic<int> lateCalls {0};
    std::thread changer([&] {
        while (!stop)
            target.bump();
    });
    for (int round = 0; round < 200; ++round) {
        auto gone = std::make_shared<std::atomic<bool>>(false);
        auto *observer = new SelfStoppingObserver(gone);
        JXKVONotificationCategory::observeTarget(
                observer, &target, "counter", 0,
                [observer, gone, &lateCalls](const JXKVONotification &) {
                    if (gone->load())
                        ++lateCalls;
                    else
                        observer->changed();
                });
        delete observer;
    }
    stop = true;
    changer.join();
    EXPECT_EQ(lateCalls, 0);
}

// Each thread owns two targets and is the only one to change them, so the deliveries of its
// own observations on them can be counted exactly. Observations on other threads' targets are
// registered and removed while those targets change, and observers are destroyed while their
// targets change; none of them may be called once its removal has returned.
TEST(NotificationCenterThreads, RandomRegistrationsChangesAndRemovalsOnEightThreads)
{
    constexpr int threadCount = 8;
    std::vector<std::unique_ptr<KVOPerson>> targets;
    for (int i = 0; i < threadCount * 2; ++i)
        targets.push_back(std::make_unique<KVOPerson>());
    std::atomic<int> afterRemoval {0};
    std::atomic<int> miscounted {0};
    std::atomic<long> deliveries {0};
    std::atomic<int> registrations {0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);

    struct Tracked
    {
        std::shared_ptr<JXKVOObservation> token;
        std::shared_ptr<std::atomic<int>> count;
        std::shared_ptr<std::atomic<bool>> removed;
        int target = 0;
        int expected = 0; // for the thread's own targets only
        bool own = false;
    };

    auto work = [&](int self) {
        std::mt19937 random(unsigned(self) * 7919u + 1u);
        std::vector<Tracked> live;
        auto removeOne = [&](size_t index) {
            Tracked tracked = std::move(live[index]);
            live.erase(live.begin() + qsizetype(index));
            if (random() % 2)
                tracked.token->remove();
            else
                center()->removeObservation(tracked.token);
            tracked.removed->store(true);
            if (tracked.own && tracked.count->load() != tracked.expected)
                ++miscounted;
        };
        while (std::chrono::steady_clock::now() < deadline) {
            const unsigned action = random() % 10;
            if (action < 3) {
                // Register on an own target or any other one.
                const bool own = random() % 2;
                const int target
                        = own ? self * 2 + int(random() % 2) : int(random() % (threadCount * 2));
                Tracked tracked {nullptr,
                                 std::make_shared<std::atomic<int>>(0),
                                 std::make_shared<std::atomic<bool>>(false),
                                 target,
                                 0,
                                 own || target / 2 == self};
                auto count = tracked.count;
                auto removed = tracked.removed;
                const quint64 options = random() % 2
                        ? QMKeyValueObservingOptionNew | QMKeyValueObservingOptionOld
                        : 0;
                tracked.token = center()->addObserver(
                        nullptr, targets[size_t(target)].get(), "counter", options,
                        [count, removed, &afterRemoval, &deliveries](const JXKVONotification &) {
                            if (removed->load())
                                ++afterRemoval;
                            count->fetch_add(1);
                            ++deliveries;
                        });
                ++registrations;
                live.push_back(std::move(tracked));
            } else if (action < 7) {
                const int target = self * 2 + int(random() % 2);
                targets[size_t(target)]->bump();
                for (Tracked &tracked : live) {
                    if (tracked.own && tracked.target == target)
                        ++tracked.expected;
                }
            } else if (action < 9) {
                if (!live.empty())
                    removeOne(random() % live.size());
            } else {
                // An observer destroyed here while its target changes on its own thread.
                auto gone = std::make_shared<std::atomic<bool>>(false);
                auto *observer = new SelfStoppingObserver(gone);
                JXKVONotificationCategory::observeTarget(
                        observer, targets[random() % targets.size()].get(), "counter", 0,
                        [gone, &afterRemoval](const JXKVONotification &) {
                            if (gone->load())
                                ++afterRemoval;
                        });
                delete observer;
            }
        }
        while (!live.empty())
            removeOne(live.size() - 1);
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i)
        threads.emplace_back(work, i);
    for (std::thread &thread : threads)
        thread.join();

    EXPECT_EQ(afterRemoval, 0);
    EXPECT_EQ(miscounted, 0);
    EXPECT_GT(registrations, 0);
    EXPECT_GT(deliveries, 0);
    // Every observation was removed, so the targets' sets hold nothing that could be matched.
    for (const auto &target : targets) {
        std::vector<int> calls;
        const auto probe
                = center()->addObserver(nullptr, target.get(), "counter", 0,
                                        [&](const JXKVONotification &) { calls.push_back(1); });
        target->bump();
        EXPECT_EQ(calls.size(), 1u);
        probe->remove();
    }
}

} // namespace
