#include "support/Failures.h"
#include <QMFoundation/dates/ISO8601.h>
#include <QMFoundation/dates/RFC3339.h>

#include "text/TextTestSupport.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

namespace {

QDateTime utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
              int msec = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second, msec), Qt::UTC);
}

} // namespace

TEST(TimestampTest, WritesAndReadsTheInstantInUTC)
{
    const std::pair<QDateTime, const char *> rows[] = {
            {utc(2021, 3, 4, 5, 6, 7, 891), "2021-03-04T05:06:07.891Z"},
            // Before 1970 the instant is negative: the day must be floored, not cut.
            {utc(1969, 12, 31, 23, 59, 59, 999), "1969-12-31T23:59:59.999Z"},
            {utc(1, 1, 1), "0001-01-01T00:00:00.000Z"},
            {utc(9999, 12, 31, 23, 59, 59, 999), "9999-12-31T23:59:59.999Z"},
            {utc(2000, 2, 29, 12), "2000-02-29T12:00:00.000Z"},
    };
    for (const auto &[date, text] : rows) {
        SCOPED_TRACE(text);
        const QString rfc3339 = QString::fromLatin1(text);
        const QString iso8601 = rfc3339.chopped(1) + u"00Z"_s;
        EXPECT_EQ(RFC3339::rfc3339DateString(date), rfc3339);
        EXPECT_EQ(ISO8601::iso8601DateString(date), iso8601);
        const QDateTime read = RFC3339::dateWithRFC3339DateString(rfc3339);
        EXPECT_EQ(read, date);
        EXPECT_EQ(read.timeSpec(), Qt::UTC);
        EXPECT_EQ(ISO8601::dateWithISO8601DateString(iso8601), date);
        // Each format reads its own texts only.
        EXPECT_FALSE(RFC3339::dateWithRFC3339DateString(iso8601).isValid());
        EXPECT_FALSE(ISO8601::dateWithISO8601DateString(rfc3339).isValid());
    }
    // Only the instant counts, not the zone the date was made in.
    for (const QDateTime &elsewhere :
         {QDateTime(QDate(2021, 3, 4), QTime(10, 36, 7, 891), Qt::OffsetFromUTC, 19800),
          utc(2021, 3, 4, 5, 6, 7, 891).toLocalTime()})
        EXPECT_EQ(RFC3339::rfc3339DateString(elsewhere), u"2021-03-04T05:06:07.891Z"_s);
    // Outside the four-digit years there is nothing to write.
    for (const QDateTime &outside : {utc(10000, 1, 1), utc(1, 1, 1).addMSecs(-1), QDateTime()}) {
        EXPECT_TRUE(RFC3339::rfc3339DateString(outside).isNull());
        EXPECT_TRUE(ISO8601::iso8601DateString(outside).isNull());
    }
    // Digits below the millisecond are dropped, never rounded into the next second.
    EXPECT_EQ(ISO8601::dateWithISO8601DateString(u"9999-12-31T23:59:59.99999Z"_s),
              utc(9999, 12, 31, 23, 59, 59, 999));
    EXPECT_EQ(failureOf([] { QMTimestampFormatter formatter(10); }),
              u"Invalid parameter not satisfying: fractionDigits >= 1 && fractionDigits <= 9"_s);
}

TEST(TimestampTest, ReadsOnlyTheExactPattern)
{
    const QString rejected[]
            = {// The wrong number of fraction digits, offsets, other separators and lower case.
               u"2021-03-04T05:06:07Z"_s, u"2021-03-04T05:06:07.89Z"_s,
               u"2021-03-04T05:06:07.891000Z"_s, u"2021-03-04T05:06:07.891+02:00"_s,
               u"2021-03-04T05:06:07.891z"_s, u"2021-03-04 05:06:07.891Z"_s,
               // Fields out of range.
               u"0000-01-01T00:00:00.000Z"_s, u"2021-00-04T05:06:07.891Z"_s,
               u"2021-13-04T05:06:07.891Z"_s, u"2021-03-00T05:06:07.891Z"_s,
               u"2021-04-31T05:06:07.891Z"_s, u"2021-02-29T05:06:07.891Z"_s,
               u"1900-02-29T05:06:07.891Z"_s, u"2021-03-04T24:00:00.000Z"_s,
               u"2021-03-04T05:60:07.891Z"_s, u"2021-03-04T05:06:60.891Z"_s,
               // Anything around the pattern, signs, and digits of other scripts.
               u" 2021-03-04T05:06:07.891Z"_s, u"2021-03-04T05:06:07.891Z\n"_s,
               u"2021-03-04T05:06:07.-91Z"_s, u"\u0662\u0660\u0662\u0661-03-04T05:06:07.891Z"_s,
               u""_s, QString()};
    for (const QString &text : rejected) {
        SCOPED_TRACE(text.toStdString());
        EXPECT_FALSE(RFC3339::dateWithRFC3339DateString(text).isValid());
        EXPECT_FALSE(ISO8601::dateWithISO8601DateString(text).isValid());
    }
}

TEST(TimestampTest, RoundTripsEveryMillisecondOfTheFourDigitYears)
{
    const qint64 first = utc(1, 1, 1).toMSecsSinceEpoch();
    const qint64 end = utc(10000, 1, 1).toMSecsSinceEpoch();
    QRandomGenerator random(20210304);
    for (int i = 0; i < 2000; ++i) {
        const QDateTime date = QDateTime::fromMSecsSinceEpoch(random.bounded(first, end), Qt::UTC);
        const QString text = RFC3339::rfc3339DateString(date);
        ASSERT_EQ(RFC3339::dateWithRFC3339DateString(text), date) << text.toStdString();
        ASSERT_EQ(ISO8601::dateWithISO8601DateString(ISO8601::iso8601DateString(date)), date);
        // Qt's own calendar agrees with the text.
        ASSERT_EQ(text.left(23), date.toString(u"yyyy-MM-ddTHH:mm:ss.zzz"_s));
    }
}
