#include "ObservationTestSupport.h"
#include <QMFoundation/observation/QMNextRunLoop.h>
#include <QMFoundation/observation/QMPerformBlock.h>
#include <QMFoundation/observation/Tap.h>

#include <limits>

using Clock = std::chrono::steady_clock;

TEST(PerformBlockTest, RunsLaterOnTheApplicationThread)
{
    const std::tuple<const char *, double, bool> rows[] = {
            // what, delay, from another thread
            {"no delay", 0.0, false},
            {"no delay, from another thread", 0.0, true},
            {"negative delay", -3.0, false},
            {"NaN delay", std::numeric_limits<double>::quiet_NaN(), true},
    };
    for (const auto &[what, delay, fromOtherThread] : rows) {
        SCOPED_TRACE(what);
        std::atomic<QThread *> ranOn = nullptr;
        const auto schedule = [&] {
            QMPerformBlock::performBlockOnMainThread([&] { ranOn = QThread::currentThread(); },
                                                     delay);
            EXPECT_EQ(ranOn.load(), nullptr); // never inside the call
        };
        if (fromOtherThread)
            std::thread(schedule).join();
        else
            schedule();
        ASSERT_TRUE(runEventsUntil([&] { return ranOn != nullptr; }));
        EXPECT_EQ(ranOn.load(), qApp->thread());
    }
}

TEST(PerformBlockTest, NeverRunsBeforeTheDelayAndKeepsOrder)
{
    const Clock::time_point called = Clock::now();
    Clock::time_point ran;
    std::vector<int> order;
    QMPerformBlock::performBlockOnMainThread(
            [&] {
                ran = Clock::now();
                order.push_back(2);
            },
            0.03);
    QMPerformBlock::performBlockOnMainThread([&] { order.push_back(1); }, 0.0);
    ASSERT_TRUE(runEventsUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<int> {1, 2}));
    EXPECT_GE(ran - called, 30ms);
    EXPECT_EQ(failureOf([] { QMPerformBlock::performBlockOnMainThread({}, 0); }),
              u"Invalid parameter not satisfying: block"_s);
}

TEST(NextRunLoopTest, HandlesWhatIsPendingAndWaitsAtMostATenthOfASecond)
{
    // A pass waits for the next event instead of returning empty-handed: a block due in 20 ms
    // arrives within a few passes (a loop that did not wait would need thousands).
    bool ran = false;
    QMPerformBlock::performBlockOnMainThread([&] { ran = true; }, 0.02);
    int passes = 0;
    for (; !ran && passes < 1000; ++passes)
        QMNextRunLoop();
    EXPECT_TRUE(ran);
    EXPECT_LE(passes, 5);

    // With nothing due for a second, a pass still returns after about 0.1 s.
    QMPerformBlock::performBlockOnMainThread([] {}, 1.0);
    QMNextRunLoop(); // hands the block to the application's thread
    const Clock::time_point before = Clock::now();
    QMNextRunLoop();
    EXPECT_LT(Clock::now() - before, 500ms);

    // A thread without an event loop returns at once.
    std::thread([] { QMNextRunLoop(); }).join();
}

TEST(TapTest, CallsTheBlockAtOnceWithTheReceiver)
{
    QStringList list;
    QStringList *seen = nullptr;
    Tap::tap(list, [&](QStringList &l) {
        seen = &l;
        l.append(u"a"_s);
    });
    EXPECT_EQ(seen, &list);
    EXPECT_EQ(list, QStringList {u"a"_s});
}
