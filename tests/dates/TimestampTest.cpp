#include "dates/ISO8601.h"
#include "dates/RFC3339.h"
#include "errors/QMInternalInconsistencyException.h"

#include "text/TextTestSupport.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>

#include <array>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

QDateTime utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
              int msec = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second, msec), Qt::UTC);
}

} // namespace

TEST(TimestampTest, WritesTheInstantInUTC)
{
    const struct
    {
        const char *name;
        QDateTime date;
        QString rfc3339;
        QString iso8601;
    } rows[] = {
            {"example", utc(2021, 3, 4, 5, 6, 7, 891), u"2021-03-04T05:06:07.891Z"_s,
             u"2021-03-04T05:06:07.89100Z"_s},
            {"epoch", utc(1970, 1, 1), u"1970-01-01T00:00:00.000Z"_s,
             u"1970-01-01T00:00:00.00000Z"_s},
            // Before 1970 the instant is negative: the day must be floored, not cut.
            {"last millisecond before 1970", utc(1969, 12, 31, 23, 59, 59, 999),
             u"1969-12-31T23:59:59.999Z"_s, u"1969-12-31T23:59:59.99900Z"_s},
            {"first year", utc(1, 1, 1), u"0001-01-01T00:00:00.000Z"_s,
             u"0001-01-01T00:00:00.00000Z"_s},
            {"last year", utc(9999, 12, 31, 23, 59, 59, 999), u"9999-12-31T23:59:59.999Z"_s,
             u"9999-12-31T23:59:59.99900Z"_s},
            {"leap day", utc(2000, 2, 29, 12), u"2000-02-29T12:00:00.000Z"_s,
             u"2000-02-29T12:00:00.00000Z"_s},
            // The zone a date was made in does not matter, only the instant.
            {"offset +05:30",
             QDateTime(QDate(2021, 3, 4), QTime(10, 36, 7, 891), Qt::OffsetFromUTC, 19800),
             u"2021-03-04T05:06:07.891Z"_s, u"2021-03-04T05:06:07.89100Z"_s},
            {"local time", utc(2021, 3, 4, 5, 6, 7, 891).toLocalTime(),
             u"2021-03-04T05:06:07.891Z"_s, u"2021-03-04T05:06:07.89100Z"_s},
            // Outside the four-digit years there is nothing to write.
            {"year 10000", utc(10000, 1, 1), QString(), QString()},
            {"year 0", utc(1, 1, 1).addMSecs(-1), QString(), QString()},
            {"invalid", QDateTime(), QString(), QString()},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(RFC3339::rfc3339DateString(row.date), row.rfc3339);
        EXPECT_EQ(ISO8601::iso8601DateString(row.date), row.iso8601);
        EXPECT_EQ(RFC3339::rfc3339DateString(row.date).isNull(), row.rfc3339.isNull());
    }
}

TEST(TimestampTest, ReadsOnlyTheExactPattern)
{
    const QDateTime none;
    const struct
    {
        QString text;
        QDateTime rfc3339;
        QDateTime iso8601;
    } rows[] = {
            // Accepted, each by its own format only.
            {u"2021-03-04T05:06:07.891Z"_s, utc(2021, 3, 4, 5, 6, 7, 891), none},
            {u"2021-03-04T05:06:07.89100Z"_s, none, utc(2021, 3, 4, 5, 6, 7, 891)},
            {u"0001-01-01T00:00:00.000Z"_s, utc(1, 1, 1), none},
            {u"9999-12-31T23:59:59.999Z"_s, utc(9999, 12, 31, 23, 59, 59, 999), none},
            {u"1969-12-31T23:59:59.999Z"_s, utc(1969, 12, 31, 23, 59, 59, 999), none},
            {u"2024-02-29T00:00:00.000Z"_s, utc(2024, 2, 29), none},
            {u"2000-02-29T00:00:00.000Z"_s, utc(2000, 2, 29), none},
            // Digits below the millisecond are dropped, never rounded up into the next second.
            {u"2021-03-04T05:06:07.89199Z"_s, none, utc(2021, 3, 4, 5, 6, 7, 891)},
            {u"9999-12-31T23:59:59.99999Z"_s, none, utc(9999, 12, 31, 23, 59, 59, 999)},
            // The wrong number of fraction digits, or none.
            {u"2021-03-04T05:06:07Z"_s, none, none},
            {u"2021-03-04T05:06:07.89Z"_s, none, none},
            {u"2021-03-04T05:06:07.8910Z"_s, none, none},
            {u"2021-03-04T05:06:07.891000Z"_s, none, none},
            // Offsets, other zones and lower case.
            {u"2021-03-04T05:06:07.891+02:00"_s, none, none},
            {u"2021-03-04T05:06:07.891+0000"_s, none, none},
            {u"2021-03-04T05:06:07.891z"_s, none, none},
            {u"2021-03-04t05:06:07.891Z"_s, none, none},
            {u"2021-03-04 05:06:07.891Z"_s, none, none},
            {u"2021/03/04T05:06:07.891Z"_s, none, none},
            {u"2021-03-04T05:06:07,891Z"_s, none, none},
            // Fields out of range.
            {u"0000-01-01T00:00:00.000Z"_s, none, none},
            {u"2021-00-04T05:06:07.891Z"_s, none, none},
            {u"2021-13-04T05:06:07.891Z"_s, none, none},
            {u"2021-03-00T05:06:07.891Z"_s, none, none},
            {u"2021-04-31T05:06:07.891Z"_s, none, none},
            {u"2021-02-29T05:06:07.891Z"_s, none, none},
            {u"1900-02-29T05:06:07.891Z"_s, none, none},
            {u"2021-03-32T05:06:07.891Z"_s, none, none},
            {u"2021-03-04T24:00:00.000Z"_s, none, none},
            {u"2021-03-04T05:60:07.891Z"_s, none, none},
            {u"2021-03-04T05:06:60.891Z"_s, none, none},
            {u"2021-03-04T05:06:61.891Z"_s, none, none},
            // Anything around or inside the pattern.
            {u" 2021-03-04T05:06:07.891Z"_s, none, none},
            {u"2021-03-04T05:06:07.891Z\n"_s, none, none},
            {u"+021-03-04T05:06:07.891Z"_s, none, none},
            {u"2021-03-04T05:06:07.-91Z"_s, none, none},
            {u"2021-03-04T05:06:0 .891Z"_s, none, none},
            {u"\uff12\uff10\uff12\uff11-03-04T05:06:07.891Z"_s, none, none},
            {u"\u0662\u0660\u0662\u0661-03-04T05:06:07.891Z"_s, none, none},
            {u""_s, none, none},
            {QString(), none, none},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text.toStdString());
        const QDateTime rfc3339 = RFC3339::dateWithRFC3339DateString(row.text);
        const QDateTime iso8601 = ISO8601::dateWithISO8601DateString(row.text);
        EXPECT_EQ(rfc3339, row.rfc3339);
        EXPECT_EQ(iso8601, row.iso8601);
        EXPECT_EQ(rfc3339.isValid(), row.rfc3339.isValid());
        EXPECT_EQ(iso8601.isValid(), row.iso8601.isValid());
        if (rfc3339.isValid()) {
            EXPECT_EQ(rfc3339.timeSpec(), Qt::UTC);
        }
    }
}

TEST(TimestampTest, RoundTripsEveryMillisecondOfTheFourDigitYears)
{
    const qint64 first = utc(1, 1, 1).toMSecsSinceEpoch();
    const qint64 last = utc(9999, 12, 31, 23, 59, 59, 999).toMSecsSinceEpoch();
    QRandomGenerator random(20210304);
    for (int i = 0; i < 2000; ++i) {
        const QDateTime date
                = QDateTime::fromMSecsSinceEpoch(random.bounded(first, last + 1), Qt::UTC);
        const QString rfc3339 = RFC3339::rfc3339DateString(date);
        const QString iso8601 = ISO8601::iso8601DateString(date);
        ASSERT_EQ(RFC3339::dateWithRFC3339DateString(rfc3339), date) << rfc3339.toStdString();
        ASSERT_EQ(ISO8601::dateWithISO8601DateString(iso8601), date) << iso8601.toStdString();
        // Qt's own calendar agrees with the text.
        ASSERT_EQ(rfc3339.left(23), date.toString(u"yyyy-MM-ddTHH:mm:ss.zzz"_s));
    }
}

TEST(TimestampTest, FormattersAreSharedAndFixed)
{
    const QMTimestampFormatter &rfc3339 = RFC3339::rfc3339DateFormatter();
    const QMTimestampFormatter &iso8601 = ISO8601::iso8601DateFormatter();
    EXPECT_EQ(&rfc3339, &RFC3339::rfc3339DateFormatter());
    EXPECT_EQ(rfc3339.dateFormat(), u"yyyy'-'MM'-'dd'T'HH':'mm':'ss'.'SSS'Z'"_s);
    EXPECT_EQ(iso8601.dateFormat(), u"yyyy'-'MM'-'dd'T'HH':'mm':'ss'.'SSSSS'Z'"_s);
    EXPECT_EQ(iso8601.timeZone().offsetFromUtc(QDateTime::currentDateTimeUtc()), 0);

    const QMTimestampFormatter tenths(1);
    EXPECT_EQ(tenths.stringFromDate(utc(2021, 3, 4, 5, 6, 7, 891)), u"2021-03-04T05:06:07.8Z"_s);
    EXPECT_EQ(tenths.dateFromString(u"2021-03-04T05:06:07.8Z"_s), utc(2021, 3, 4, 5, 6, 7, 800));
    for (int digits : {0, 10}) {
        try {
            QMTimestampFormatter formatter(digits);
            ADD_FAILURE() << "no exception for " << digits;
        } catch (const QMInternalInconsistencyException &exception) {
            EXPECT_EQ(exception.reason(),
                      u"Invalid parameter not satisfying: fractionDigits >= 1 && "
                      "fractionDigits <= 9"_s);
        }
    }
}

// Each test runs in a process of its own under CTest, so here the threads make the first calls.
TEST(TimestampTest, ConcurrentFirstUseMakesOneFormatter)
{
    constexpr int threadCount = 8;
    std::array<const QMTimestampFormatter *, threadCount> rfc3339 {};
    std::array<const QMTimestampFormatter *, threadCount> iso8601 {};
    std::array<QString, threadCount> texts;
    std::atomic<int> ready = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < threadCount) { }
            rfc3339[size_t(i)] = &RFC3339::rfc3339DateFormatter();
            iso8601[size_t(i)] = &ISO8601::iso8601DateFormatter();
            texts[size_t(i)] = RFC3339::rfc3339DateString(utc(2021, 3, 4, 5, 6, 7, i));
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int i = 0; i < threadCount; ++i) {
        EXPECT_EQ(rfc3339[size_t(i)], rfc3339[0]);
        EXPECT_EQ(iso8601[size_t(i)], iso8601[0]);
        EXPECT_EQ(texts[size_t(i)], u"2021-03-04T05:06:07.00%1Z"_s.arg(i));
    }
    EXPECT_EQ(rfc3339[0]->fractionDigits(), 3);
    EXPECT_EQ(iso8601[0]->fractionDigits(), 5);
}
