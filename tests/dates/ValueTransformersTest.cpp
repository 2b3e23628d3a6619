#include <QMFoundation/dates/QMRelativeDateFormatter.h>
#include <QMFoundation/dates/QMValueTransformers.h>
#include <QMFoundation/dates/RFC3339.h>

#include "text/TextTestSupport.h"

#include <gtest/gtest.h>

#include <QUrl>

#include <array>
#include <thread>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

const QDateTime reference = QDateTime(QDate(2021, 3, 4), QTime(5, 6, 7, 891), Qt::UTC);

std::unique_ptr<QMValueTransformer> transformer(const char *name)
{
    return QMValueTransformer::valueTransformerForName(QString::fromLatin1(name));
}

// Two QVariants hold the same type and value (QVariant's == would convert between types).
::testing::AssertionResult same(const QVariant &actual, const QVariant &expected)
{
    if (actual.metaType() == expected.metaType() && actual == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
            << actual.typeName() << " " << actual.toString().toStdString() << " instead of "
            << expected.typeName() << " " << expected.toString().toStdString();
}

} // namespace

TEST(ValueTransformersTest, TimestampTransformersConvertTextAndDates)
{
    const struct
    {
        const char *name;
        QString text;
    } rows[] = {
            {"NSStringToRFC3339DateTransformer", u"2021-03-04T05:06:07.891Z"_s},
            {"NSStringToISO8601DateTransformer", u"2021-03-04T05:06:07.89100Z"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const auto t = transformer(row.name);
        ASSERT_TRUE(t);
        EXPECT_TRUE(t->allowsReverseTransformation());
        EXPECT_TRUE(same(t->transformedValue(row.text), reference));
        EXPECT_TRUE(same(t->reverseTransformedValue(reference), row.text));
        // Unreadable text and values of other types give none, in both directions.
        for (const QVariant &other :
             {QVariant(u"2021-03-04T05:06:07Z"_s), QVariant(42), QVariant(row.text.toUtf8()),
              QVariant(), QVariant(reference.date())}) {
            EXPECT_FALSE(t->transformedValue(other).isValid()) << other.typeName();
            EXPECT_FALSE(t->reverseTransformedValue(other).isValid()) << other.typeName();
        }
        EXPECT_FALSE(t->reverseTransformedValue(reference.addYears(9000)).isValid());
    }
}

TEST(ValueTransformersTest, URLTransformerKeepsAbsoluteTexts)
{
    const auto t = transformer("NSStringToNSURLTransformer");
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->allowsReverseTransformation());
    // Reading is strict and writing fully encoded, so encoded texts come back as they were.
    for (const QString &text :
         {u"http://user@example.com:8080/p%20q#g"_s, u"https://example.com/caf%C3%A9?q=%2B1"_s,
          u"mailto:someone@example.com"_s}) {
        SCOPED_TRACE(text.toStdString());
        const QVariant url = t->transformedValue(text);
        ASSERT_TRUE(same(url, QUrl(text)));
        EXPECT_TRUE(same(t->reverseTransformedValue(url), text));
    }
    // Texts that Qt reads but writes otherwise ("#" in a fragment comes out as "%23"): the URL
    // read from the written text is the URL first read.
    for (const QString &text : {u"hmp##le.com/ab?=c"_s, u"http://example.com/p#a#b"_s}) {
        SCOPED_TRACE(text.toStdString());
        const QVariant url = t->transformedValue(text);
        ASSERT_TRUE(url.isValid());
        EXPECT_EQ(t->transformedValue(t->reverseTransformedValue(url)), url);
    }
    for (const QVariant &rejected : {QVariant(u"http://exa mple.com/"_s), QVariant(u"%zz"_s),
                                     QVariant(u""_s), QVariant(42), QVariant()}) {
        SCOPED_TRACE(rejected.toString().toStdString());
        EXPECT_FALSE(t->transformedValue(rejected).isValid());
        EXPECT_FALSE(t->reverseTransformedValue(rejected).isValid());
    }
}

TEST(ValueTransformersTest, NumberToBoolTransformerTellsZeroFromTheRest)
{
    const auto t = transformer("NSNumberToBoolTransformer");
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->allowsReverseTransformation());
    const std::pair<QVariant, bool> rows[] = {{0, false},
                                              {-0.0, false},
                                              {0.5, true},
                                              {std::numeric_limits<double>::quiet_NaN(), true},
                                              {false, false},
                                              {std::numeric_limits<quint64>::max(), true},
                                              {qint64(1) << 32, true},
                                              // Not numbers.
                                              {u"1"_s, false},
                                              {QVariant(), false},
                                              {QVariant::fromValue(nullptr), false}};
    for (const auto &[value, result] : rows) {
        SCOPED_TRACE(value.typeName() ? value.typeName() : "none");
        EXPECT_TRUE(same(t->transformedValue(value), result)) << value.toString().toStdString();
        EXPECT_TRUE(same(t->reverseTransformedValue(value), result));
    }
}

TEST(ValueTransformersTest, RelativeDateTransformersWordDatesOnly)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto words = transformer("NSDateToRelativeDateStringTransformer");
    const auto withTime = transformer("NSDateToRelativeDateStringWithTimeTransformer");
    const auto timeago = transformer("QMTimeagoTransformer");
    ASSERT_TRUE(words && withTime && timeago);
    for (const auto *t : {words.get(), withTime.get(), timeago.get()}) {
        EXPECT_FALSE(t->allowsReverseTransformation());
        EXPECT_FALSE(t->reverseTransformedValue(u"3 hours"_s).isValid());
    }
    EXPECT_TRUE(same(words->transformedValue(now.addSecs(-3 * 3600)), u"3 hours"_s));
    EXPECT_TRUE(
            same(withTime->transformedValue(reference),
                 QMRelativeDateFormatter::longDateShortTimeFormatter().stringFromDate(reference)));
    EXPECT_TRUE(same(timeago->transformedValue(reference),
                     QMRelativeDateFormatter::longDateFormatter().stringFromDate(reference)));
    // Anything but a date: none, except for the timeago transformer's empty text.
    for (const QVariant &other : {QVariant(), QVariant(u"2021-03-04T05:06:07.891Z"_s),
                                  QVariant(reference.date()), QVariant(1.5)}) {
        SCOPED_TRACE(other.typeName() ? other.typeName() : "none");
        EXPECT_FALSE(words->transformedValue(other).isValid());
        EXPECT_FALSE(withTime->transformedValue(other).isValid());
        EXPECT_TRUE(same(timeago->transformedValue(other), u""_s));
    }
}

// Each test runs in a process of its own under CTest, so the threads race the first use of the
// registry (which fills in the library's transformers) and of the shared formatter, and each
// other's registrations.
TEST(ValueTransformersTest, ConcurrentFirstUseOfTheRegistryAndTheFormatters)
{
    constexpr int threadCount = 8;
    std::array<const QMTimestampFormatter *, threadCount> formatters {};
    std::array<QVariant, threadCount> dates;
    std::array<bool, threadCount> registered {};
    std::atomic<int> ready = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < threadCount) { }
            formatters[size_t(i)] = &RFC3339::rfc3339DateFormatter();
            dates[size_t(i)] = transformer("NSStringToRFC3339DateTransformer")
                                       ->transformedValue(u"2021-03-04T05:06:07.891Z"_s);
            const QString own = u"Own"_s + QString::number(i);
            QMValueTransformer::setValueTransformerClass<NSNumberToBoolTransformer>(own);
            registered[size_t(i)] = QMValueTransformer::valueTransformerForName(own) != nullptr;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int i = 0; i < threadCount; ++i) {
        EXPECT_EQ(formatters[size_t(i)], formatters[0]);
        EXPECT_TRUE(same(dates[size_t(i)], reference));
        EXPECT_TRUE(registered[size_t(i)]);
    }
}
