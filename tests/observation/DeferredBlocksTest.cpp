#include "ObservationTestSupport.h"
#include "observation/QMNextRunLoop.h"
#include "observation/QMPerformBlock.h"
#include "observation/Tap.h"
#include "support/Failures.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using ObservationTestSupport::runEventsUntil;

TEST(PerformBlockTest, RunsLaterOnTheApplicationThread)
{
    struct Row
    {
        const char *what;
        double delay;
        bool fromOtherThread;
    };
    const Row rows[] = {
            {"no delay", 0.0, false},
            {"no delay, from another thread", 0.0, true},
            {"negative delay", -3.0, false},
            {"NaN delay", std::numeric_limits<double>::quiet_NaN(), true},
            {"below a nanosecond", 1e-10, false},
            {"a short delay from another thread", 0.002, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::atomic<QThread *> ranOn = nullptr;
        const auto schedule = [&] {
            QMPerformBlock::performBlockOnMainThread([&] { ranOn = QThread::currentThread(); },
                                                     row.delay);
            // Never inside the call, whichever thread makes it.
            EXPECT_EQ(ranOn.load(), nullptr);
        };
        if (row.fromOtherThread)
            std::thread(schedule).join();
        else
            schedule();
        ASSERT_TRUE(runEventsUntil([&] { return ranOn != nullptr; }));
        EXPECT_EQ(ranOn.load(), qApp->thread());
    }
}

TEST(PerformBlockTest, NeverRunsBeforeTheDelayAndKeepsOrder)
{
    using Clock = std::chrono::steady_clock;
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

    EXPECT_EQ(TestSupport::failureOf([] { QMPerformBlock::performBlockOnMainThread({}, 0); }),
              QStringLiteral("Invalid parameter not satisfying: block"));
}

TEST(NextRunLoopTest, HandlesWhatIsPendingAndReturnsWithoutEvents)
{
    bool ran = false;
    QMPerformBlock::performBlockOnMainThread([&] { ran = true; }, 0);
    // One pass may first handle other ready events; a few passes must reach the block.
    for (int pass = 0; pass < 10 && !ran; ++pass)
        QMNextRunLoop();
    EXPECT_TRUE(ran);

    // A pass waits for the next event instead of returning empty-handed: a block due in 20 ms
    // arrives within a few passes (a loop that did not wait would need thousands).
    bool later = false;
    QMPerformBlock::performBlockOnMainThread([&] { later = true; }, 0.02);
    int passes = 0;
    while (!later && passes < 1000) {
        QMNextRunLoop();
        ++passes;
    }
    EXPECT_TRUE(later);
    EXPECT_LE(passes, 5);

    // A thread without an event loop returns at once.
    std::thread([] { QMNextRunLoop(); }).join();
}

TEST(TapTest, CallsTheBlockAtOnceWithTheReceiver)
{
    QObject object;
    Tap::tap(object, [](QObject &o) { o.setObjectName(QStringLiteral("tapped")); });
    EXPECT_EQ(object.objectName(), QStringLiteral("tapped"));

    QStringList list;
    QStringList *seen = nullptr;
    Tap::tap(list, [&](QStringList &l) {
        seen = &l;
        l.append(QStringLiteral("a"));
    });
    EXPECT_EQ(seen, &list);
    EXPECT_EQ(list, QStringList {QStringLiteral("a")});
}
