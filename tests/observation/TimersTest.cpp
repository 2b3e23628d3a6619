#include "ObservationTestSupport.h"
#include "observation/Blocks.h"
#include "observation/QMTimer.h"
#include "support/Failures.h"

#include <QThread>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using ObservationTestSupport::runEventsFor;
using ObservationTestSupport::runEventsUntil;

TEST(TimerTest, MeasuresFromStartToTheFirstStop)
{
    QMTimer idle;
    EXPECT_TRUE(idle.startDate().isNull());
    EXPECT_TRUE(idle.endDate().isNull());
    EXPECT_EQ(idle.timeElapsedInSeconds(), 0.0);

    const auto timer = QMTimer::timer();
    EXPECT_TRUE(timer->startDate().isValid());
    EXPECT_EQ(timer->startDate().timeSpec(), Qt::UTC);
    // Not stopped yet: nothing to read.
    EXPECT_EQ(timer->timeElapsedInSeconds(), 0.0);
    EXPECT_EQ(timer->timeElapsedInMilliseconds(), 0.0);

    // Long enough for the clock to move between the stops.
    const QDateTime later = QDateTime::currentDateTimeUtc().addMSecs(2);
    ASSERT_TRUE(runEventsUntil([&] { return QDateTime::currentDateTimeUtc() > later; }));
    const double seconds = timer->stopAndTimeElapsedInSeconds();
    const QDateTime end = timer->endDate();
    EXPECT_GT(seconds, 0.0);
    EXPECT_EQ(end.timeSpec(), Qt::UTC);
    EXPECT_GE(end, timer->startDate());
    EXPECT_EQ(timer->timeElapsedInMilliseconds(), seconds * 1000.0);

    const QDateTime evenLater = QDateTime::currentDateTimeUtc().addMSecs(2);
    ASSERT_TRUE(runEventsUntil([&] { return QDateTime::currentDateTimeUtc() > evenLater; }));
    EXPECT_EQ(timer->stopAndTimeElapsedInMilliseconds(), seconds * 1000.0);
    EXPECT_EQ(timer->endDate(), end);

    // Starting again forgets the end.
    timer->start();
    EXPECT_TRUE(timer->endDate().isNull());
    EXPECT_EQ(timer->timeElapsedInSeconds(), 0.0);
}

TEST(TimerTest, StopWithoutStartAndDatesSetFromOutside)
{
    QMTimer timer;
    timer.stop();
    EXPECT_TRUE(timer.endDate().isValid());
    EXPECT_EQ(timer.timeElapsedInSeconds(), 0.0);

    // Set dates carry no clock reading: the elapsed time is their difference.
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(1'000'000, Qt::UTC);
    timer.setStartDate(start);
    timer.setEndDate(start.addMSecs(1500));
    EXPECT_EQ(timer.timeElapsedInSeconds(), 1.5);
    EXPECT_EQ(timer.timeElapsedInMilliseconds(), 1500.0);
    timer.setEndDate(QDateTime());
    EXPECT_EQ(timer.timeElapsedInSeconds(), 0.0);
}

TEST(BlocksTest, ClampsAndRoundsTheInterval)
{
    struct Row
    {
        const char *what;
        double seconds;
        int milliseconds;
    };
    constexpr int Longest = std::numeric_limits<int>::max();
    const Row rows[] = {
            // At or below the 0.0001 s floor, NaN included, then rounded up to a whole millisecond.
            {"zero", 0.0, 1},
            {"negative", -1.0, 1},
            {"negative infinity", -std::numeric_limits<double>::infinity(), 1},
            {"NaN", std::numeric_limits<double>::quiet_NaN(), 1},
            {"below the floor", 0.00005, 1},
            {"the floor", 0.0001, 1},
            // Above it: never shorter than asked.
            {"a fraction of a millisecond over", 0.0015, 2},
            {"whole milliseconds", 0.25, 250},
            {"beyond QTimer's range", 1e12, Longest},
            {"infinity", std::numeric_limits<double>::infinity(), Longest},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        for (const bool repeats : {false, true}) {
            const auto timer = Blocks::timerWithTimeInterval(row.seconds, repeats, [](QTimer *) {});
            EXPECT_EQ(timer->interval(), row.milliseconds);
            EXPECT_EQ(timer->isSingleShot(), !repeats);
            EXPECT_EQ(timer->timerType(), Qt::PreciseTimer);
            EXPECT_FALSE(timer->isActive());
        }
    }
    for (const bool scheduled : {false, true}) {
        SCOPED_TRACE(scheduled);
        EXPECT_EQ(TestSupport::failureOf([&] {
                      if (scheduled)
                          Blocks::scheduleTimerWithTimeInterval(1.0, false, {});
                      else
                          Blocks::timerWithTimeInterval(1.0, false, {});
                  }),
                  QStringLiteral("Invalid parameter not satisfying: block"));
    }
    QString withoutLoop;
    std::thread([&] {
        withoutLoop = TestSupport::failureOf(
                [] { Blocks::scheduleTimerWithTimeInterval(1.0, false, [](QTimer *) {}); });
    }).join();
    EXPECT_EQ(withoutLoop,
              QStringLiteral("Timers can only be scheduled on a thread with an event loop"));
}

TEST(BlocksTest, OneShotFiresOnceWithItselfAndIsFreed)
{
    std::vector<QTimer *> received;
    const QPointer<QTimer> timer = Blocks::scheduleTimerWithTimeInterval(
            0, false, [&](QTimer *t) { received.push_back(t); });
    QTimer *const scheduled = timer.data();
    ASSERT_TRUE(timer && timer->isActive());
    EXPECT_TRUE(received.empty());
    ASSERT_TRUE(runEventsUntil([&] { return !timer; }));
    runEventsFor(30ms);
    EXPECT_EQ(received, std::vector<QTimer *> {scheduled});

    // The unscheduled form waits for start().
    received.clear();
    const auto owned
            = Blocks::timerWithTimeInterval(-5, false, [&](QTimer *t) { received.push_back(t); });
    runEventsFor(10ms);
    EXPECT_TRUE(received.empty());
    owned->start();
    ASSERT_TRUE(runEventsUntil([&] { return !received.empty(); }));
    runEventsFor(20ms);
    EXPECT_EQ(received, std::vector<QTimer *> {owned.get()});
}

TEST(BlocksTest, RepeatsAtTheFloorUntilDeleted)
{
    int fired = 0;
    QPointer<QTimer> timer
            = Blocks::scheduleTimerWithTimeInterval(std::nan(""), true, [&](QTimer *t) {
                  if (++fired == 5)
                      t->deleteLater();
              });
    ASSERT_TRUE(runEventsUntil([&] { return !timer; }));
    runEventsFor(20ms);
    EXPECT_EQ(fired, 5);
}

namespace {

// Schedules a repeating timer from inside its own event loop, then runs that loop. The timer is
// handed over through a std::mutex, which the race detector sees (Qt's own locks it does not).
class SchedulingThread : public QThread
{
public:
    void run() override
    {
        {
            std::lock_guard lock(mutex);
            timer = Blocks::scheduleTimerWithTimeInterval(3600, true, [](QTimer *) {});
            scheduled = true;
        }
        exec();
    }

    std::mutex mutex;
    QPointer<QTimer> timer;
    bool scheduled = false;
};

} // namespace

TEST(BlocksTest, ScheduledTimersGoWithTheirThread)
{
    SchedulingThread thread;
    thread.start();
    ASSERT_TRUE(runEventsUntil([&] {
        std::lock_guard lock(thread.mutex);
        return thread.scheduled;
    }));
    thread.quit();
    thread.wait();
    std::lock_guard lock(thread.mutex);
    EXPECT_TRUE(thread.timer.isNull());
}
