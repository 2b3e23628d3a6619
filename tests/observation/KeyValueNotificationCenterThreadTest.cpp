// The notification center across threads: removal waits for deliveries running elsewhere,
// parties destroyed on other threads than the one that registered, and a random mix of
// registrations, changes and removals on eight threads.

#include "ObservationTestSupport.h"

#include <random>

namespace {

TEST(NotificationCenterThreads, RemovalReturnsOnlyAfterARunningDeliveryEnds)
{
    KVOPerson person;
    std::atomic<bool> entered {false}, removalReturned {false}, returnedWhileRunning {false};
    std::atomic<int> calls {0};
    std::shared_ptr<JXKVOObservation> observation;
    observation = kvoCenter()->addObserver(nullptr, &person, "counter", 0, [&](const auto &) {
        ++calls;
        entered = true;
        // The remover marks the observation invalid first and must then wait for this delivery:
        // its return within the next 100 ms (a check that something does not happen) is a fault.
        while (observation->isValid())
            std::this_thread::yield();
        const auto until = std::chrono::steady_clock::now() + 100ms;
        while (!removalReturned && std::chrono::steady_clock::now() < until)
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
    KVOPerson target;
    auto *observer = new Recorder;
    auto observation = kvoCenter()->addObserver(observer, &target, "age", "observeValue", {}, 0);
    std::thread([observer] { delete observer; }).join();
    EXPECT_FALSE(observation->isValid());
    target.setAge(2); // would call into the deleted observer if still registered

    // Target made on another thread, observed here, changed and destroyed on a third.
    Recorder recorder;
    KVOPerson *remote = nullptr;
    std::thread([&] { remote = new KVOPerson; }).join();
    observation = kvoCenter()->addObserver(&recorder, remote, "age", "observeValue", {}, 0);
    std::thread([remote] {
        remote->setAge(3);
        delete remote;
    }).join();
    EXPECT_FALSE(observation->isValid());
    EXPECT_EQ(recorder.count(), 1);
}

// Each thread owns two targets and is the only one to change them, so the deliveries of the
// observations of their counters can be counted exactly. Observations on other threads' targets,
// and of their partners' counters (the partners changing too), are registered and removed while
// those targets change; none may be called once its removal has returned.
TEST(NotificationCenterThreads, RandomRegistrationsChangesAndRemovalsOnEightThreads)
{
    constexpr int threadCount = 8;
    std::vector<std::unique_ptr<KVOPerson>> targets;
    for (int i = 0; i < threadCount * 2; ++i)
        targets.push_back(std::make_unique<KVOPerson>());
    std::atomic<int> late {0}, miscounted {0}, deliveries {0};
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    struct Tracked
    {
        std::shared_ptr<JXKVOObservation> token;
        std::shared_ptr<std::atomic<int>> count = std::make_shared<std::atomic<int>>(0);
        std::shared_ptr<std::atomic<bool>> removed = std::make_shared<std::atomic<bool>>(false);
        int target = 0;
        int expected = -1; // counted for the thread's own targets only
    };

    auto work = [&](int self) {
        std::mt19937 random(unsigned(self) * 7919u + 1u);
        std::vector<Tracked> live;
        auto removeLast = [&] {
            const Tracked tracked = std::move(live.back());
            live.pop_back();
            random() % 2 ? tracked.token->remove() : kvoCenter()->removeObservation(tracked.token);
            tracked.removed->store(true);
            miscounted += tracked.expected >= 0 && tracked.count->load() != tracked.expected;
        };
        while (std::chrono::steady_clock::now() < deadline) {
            const unsigned action = random() % 10;
            if (action < 3) {
                Tracked t;
                t.target = int(random() % (threadCount * 2));
                const bool ofPartner = random() % 4 == 0;
                t.expected = t.target / 2 == self && !ofPartner ? 0 : -1;
                t.token = kvoCenter()->addObserver(
                        nullptr, targets[size_t(t.target)].get(),
                        ofPartner ? "partner.counter" : "counter", random() % 2 ? NewAndOld : 0,
                        [count = t.count, removed = t.removed, &late, &deliveries](const auto &) {
                            late += removed->load();
                            ++*count;
                            ++deliveries;
                        });
                live.push_back(std::move(t));
            } else if (action < 7) {
                const int target = self * 2 + int(random() % 2);
                targets[size_t(target)]->bump();
                for (Tracked &t : live)
                    t.expected += t.expected >= 0 && t.target == target;
            } else if (action == 7) {
                const size_t partner = random() % (threadCount * 2 + 1);
                targets[size_t(self * 2) + random() % 2]->setPartner(
                        partner < targets.size() ? targets[partner].get() : nullptr);
            } else if (!live.empty()) {
                std::swap(live[random() % live.size()], live.back());
                removeLast();
            }
        }
        while (!live.empty())
            removeLast();
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i)
        threads.emplace_back(work, i);
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(late, 0);
    EXPECT_EQ(miscounted, 0);
    EXPECT_GT(deliveries, 0);
}

} // namespace
