#include "ObservationTestSupport.h"
#include <QMFoundation/observation/Blocks.h>
#include <QMFoundation/observation/QMTimer.h>

#include <cmath>
#include <limits>

namespace {

// Runs the event loop until the wall clock has moved on by a few milliseconds.
void letTheClockMove()
{
    const QDateTime later = QDateTime::currentDateTimeUtc().addMSecs(2);
    ASSERT_TRUE(runEventsUntil([&] { return QDateTime::currentDateTimeUtc() > later; }));
}

} // namespace

TEST(TimerTest, MeasuresFromStartToTheFirstStop)
{
    const auto timer = QMTimer::timer();
    EXPECT_EQ(timer->startDate().timeSpec(), Qt::UTC);
    EXPECT_EQ(timer->timeElapsedInSeconds(), 0.0); // not stopped yet
    letTheClockMove();
    const double seconds = timer->stopAndTimeElapsedInSeconds();
    const QDateTime end = timer->endDate();
    EXPECT_GT(seconds, 0.0);
    EXPECT_GE(end, timer->startDate());
    EXPECT_EQ(timer->timeElapsedInMilliseconds(), seconds * 1000.0);
    // A second stop keeps the first end.
    letTheClockMove();
    EXPECT_EQ(timer->stopAndTimeElapsedInMilliseconds(), seconds * 1000.0);
    EXPECT_EQ(timer->endDate(), end);
    // Starting again forgets the end.
    timer->start();
    EXPECT_TRUE(timer->endDate().isNull());
    EXPECT_EQ(timer->timeElapsedInSeconds(), 0.0);

    // Stopped without a start: nothing to measure from.
    QMTimer idle;
    idle.stop();
    EXPECT_EQ(idle.timeElapsedInSeconds(), 0.0);
}

TEST(BlocksTest, ClampsAndRoundsTheInterval)
{
    const std::pair<double, int> rows[] = {
            // At or below the 0.0001 s floor, NaN included, then rounded up to a whole millisecond.
            {0.0, 1},
            {-1.0, 1},
            {std::numeric_limits<double>::quiet_NaN(), 1},
            {0.00005, 1},
            {0.0001, 1},
            // Above it: never shorter than asked, and cut to QTimer's range.
            {0.0015, 2},
            {0.25, 250},
            {1e12, std::numeric_limits<int>::max()},
    };
    for (const auto &[seconds, milliseconds] : rows) {
        SCOPED_TRACE(seconds);
        for (const bool repeats : {false, true}) {
            const auto timer = Blocks::timerWithTimeInterval(seconds, repeats, [](QTimer *) {});
            EXPECT_EQ(timer->interval(), milliseconds);
            EXPECT_EQ(timer->isSingleShot(), !repeats);
            EXPECT_EQ(timer->timerType(), Qt::PreciseTimer);
            EXPECT_FALSE(timer->isActive()); // waits for start()
        }
    }
    EXPECT_EQ(failureOf([] { Blocks::scheduleTimerWithTimeInterval(1.0, false, {}); }),
              u"Invalid parameter not satisfying: block"_s);
}

TEST(BlocksTest, OneShotFiresOnceAndRepeatingRunsAtTheFloorUntilDeleted)
{
    std::vector<QTimer *> received;
    const QPointer<QTimer> oneShot = Blocks::scheduleTimerWithTimeInterval(
            0, false, [&](QTimer *t) { received.push_back(t); });
    QTimer *const scheduled = oneShot.data();
    EXPECT_TRUE(received.empty());
    ASSERT_TRUE(runEventsUntil([&] { return !oneShot; })); // freed after firing
    runEventsFor(30ms);
    EXPECT_EQ(received, std::vector<QTimer *> {scheduled});

    int fired = 0;
    const QPointer<QTimer> repeating
            = Blocks::scheduleTimerWithTimeInterval(std::nan(""), true, [&](QTimer *t) {
                  if (++fired == 5)
                      t->deleteLater();
              });
    ASSERT_TRUE(runEventsUntil([&] { return !repeating; }));
    runEventsFor(20ms);
    EXPECT_EQ(fired, 5);
}
