#include <QMFoundation/dates/QMCommon.h>

#include "text/TextTestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <limits>

namespace {

QDateTime utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::UTC);
}

// Sets TZ for the life of the guard; Qt's local time reads it (through tzset()) on every
// conversion.
struct TimeZoneGuard
{
    explicit TimeZoneGuard(const char *zone)
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~TimeZoneGuard()
    {
        old.isNull() ? qunsetenv("TZ") : qputenv("TZ", old);
        tzset();
    }
    const QByteArray old = qgetenv("TZ");
};

} // namespace

TEST(DateHelpersTest, DayBoundsFollowTheLocalClockAcrossDaylightSavingChanges)
{
    const struct
    {
        const char *zone;
        QDateTime date;
        QDateTime first;
        QDateTime last;
    } rows[] = {
            // A 23-hour day (02:00 skipped) and a 25-hour one (02:00 twice).
            {"Europe/Berlin", utc(2024, 3, 31, 10), utc(2024, 3, 30, 23),
             utc(2024, 3, 31, 21, 59, 59)},
            {"Europe/Berlin", utc(2024, 10, 27, 10), utc(2024, 10, 26, 22),
             utc(2024, 10, 27, 22, 59, 59)},
            // Clocks jump from 00:00 to 01:00: the day begins at 01:00 local.
            {"America/Sao_Paulo", utc(2018, 11, 4, 15), utc(2018, 11, 4, 3),
             utc(2018, 11, 5, 1, 59, 59)},
            // 23:00 to 24:00 comes twice: the day ends with the second 23:59:59.
            {"America/Sao_Paulo", utc(2019, 2, 16, 15), utc(2019, 2, 16, 2),
             utc(2019, 2, 17, 2, 59, 59)},
            // 00:00 to 01:00 comes twice: the day begins with the first midnight.
            {"America/Havana", utc(2019, 11, 3, 15), utc(2019, 11, 3, 4),
             utc(2019, 11, 4, 4, 59, 59)},
            // 20:00 UTC is already the next day in India.
            {"Asia/Kolkata", utc(2021, 3, 4, 20), utc(2021, 3, 4, 18, 30),
             utc(2021, 3, 5, 18, 29, 59)},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.zone) + " " + row.date.toString(Qt::ISODate).toStdString());
        const TimeZoneGuard zone(row.zone);
        const QDateTime first = QMCommon::firstMomentOfDay(row.date);
        const QDateTime last = QMCommon::lastMomentOfDay(row.date);
        EXPECT_EQ(first, row.first) << first.toString(Qt::ISODate).toStdString();
        EXPECT_EQ(last, row.last) << last.toString(Qt::ISODate).toStdString();
        EXPECT_EQ(QMCommon::firstMomentOfDay(first), first);
        EXPECT_EQ(QMCommon::lastMomentOfDay(last), last);
    }
    EXPECT_FALSE(QMCommon::firstMomentOfDay(QDateTime()).isValid());
    EXPECT_FALSE(QMCommon::lastMomentOfDay(QDateTime()).isValid());
}

TEST(DateHelpersTest, NumberOfDaysCountsPartialDaysAsWhole)
{
    const QDateTime start = utc(2021, 3, 4, 5, 6, 7);
    const struct
    {
        QDateTime from;
        QDateTime other;
        qint64 days;
        quint64 absoluteDays;
    } rows[] = {
            {start, start, 0, 0},
            {start, QDateTime(), 0, 0},
            {QDateTime(), start, 0, 0},
            {start, start.addSecs(1), 1, 1},
            {start, start.addSecs(-1), -1, 1},
            {start, start.addSecs(86400), 1, 1},
            {start, start.addSecs(86401), 2, 2},
            // Fixed 24-hour days, whatever the local clock: Berlin's 23-hour day of 31 March 2024
            // is one day, and it and the day before are 47 hours, two days.
            {utc(2024, 3, 30, 23), utc(2024, 3, 31, 22), 1, 1},
            {utc(2024, 3, 29, 23), utc(2024, 3, 31, 22), 2, 2},
            {utc(2024, 3, 31, 22), utc(2024, 3, 29, 23), -2, 2},
            // The absolute count goes through 32 bits: 2^31 + 5 days wraps to -(2^31 - 5).
            {start, start.addMSecs((qint64(1) << 31) * 86400000 + 4 * 86400000 + 1000),
             (qint64(1) << 31) + 5, (quint64(1) << 31) - 5},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.from.toString(Qt::ISODate).toStdString() + " to "
                     + row.other.toString(Qt::ISODate).toStdString());
        EXPECT_EQ(QMCommon::numberOfDaysUntilDate(row.from, row.other), row.days);
        EXPECT_EQ(QMCommon::absoluteNumberOfDaysUntilDate(row.from, row.other), row.absoluteDays);
    }
}

TEST(DateHelpersTest, DaysAndHoursFromNowAreFixedLengths)
{
    const struct
    {
        QDateTime (*make)(quint64);
        quint64 count;
        qint64 msecs;
    } rows[] = {
            {QMCommon::dateWithNumberOfDaysAgo, 0, 0},
            {QMCommon::dateWithNumberOfDaysFromNow, 1, 86400000},
            {QMCommon::dateWithNumberOfHoursFromNow, 5, 5 * 3600000},
            {QMCommon::dateWithNumberOfHoursAgo, 49, -49 * 3600000},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.msecs);
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        const QDateTime date = row.make(row.count);
        const qint64 after = QDateTime::currentMSecsSinceEpoch();
        EXPECT_EQ(date.timeSpec(), Qt::UTC);
        EXPECT_GE(date.toMSecsSinceEpoch(), before + row.msecs);
        EXPECT_LE(date.toMSecsSinceEpoch(), after + row.msecs);
    }
    const quint64 huge = std::numeric_limits<quint64>::max();
    EXPECT_FALSE(QMCommon::dateWithNumberOfDaysFromNow(huge).isValid());
    EXPECT_FALSE(QMCommon::dateWithNumberOfHoursAgo(huge / 2).isValid());
}
