#include <QMFoundation/dates/QMRelativeDateFormatter.h>
#include <QMFoundation/dates/RelativeDateString.h>

#include "text/TextTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTranslator>

#include <tuple>
#include <vector>

using namespace Qt::StringLiterals;
using RelativeDateString::distanceOfTimeInWords;

namespace {

const QDateTime reference = QDateTime(QDate(2021, 3, 4), QTime(5, 6, 7, 891), Qt::UTC);

constexpr qint64 second = 1000;
constexpr qint64 minute = 60 * second;
constexpr qint64 hour = 60 * minute;
constexpr qint64 day = 24 * hour;

// A host translation that answers every lookup with one text, as a translator's file might.
class FixedTranslator : public QTranslator
{
public:
    explicit FixedTranslator(QString text)
        : m_text(std::move(text))
    { }
    bool isEmpty() const override { return false; }
    QString translate(const char *, const char *, const char *, int) const override
    {
        return m_text;
    }

private:
    QString m_text;
};

} // namespace

TEST(RelativeDateWordsTest, TableBoundariesPastAndFuture)
{
    // Each boundary of the table in minutes, with the words one second before it and at it.
    const std::tuple<qint64, const char *, const char *> boundaries[]
            = {{1, "less than a minute", "1 minute"}, {2, "1 minute", "2 minutes"},
               {45, "44 minutes", "1 hour"},          {90, "1 hour", "2 hours"},
               {1440, "24 hours", "1 day"},           {2520, "1 day", "2 days"},
               {43200, "30 days", "1 month"},         {64800, "1 month", "2 months"},
               {525600, "12 months", "1 year"},       {792000, "1 year", "2 years"}};
    // The rounding: minutes are cut, the other counts rounded half up as floats. Two seconds
    // short of 2.5 years is 2.5 in single precision (the double would round to 2); ten seconds
    // short is not.
    std::vector<std::pair<qint64, const char *>> rows {{0, "less than a minute"},
                                                       {209 * minute, "3 hours"},
                                                       {210 * minute, "4 hours"},
                                                       {365000 * day, "1000 years"},
                                                       {1314000 * minute - 2 * second, "3 years"},
                                                       {1314000 * minute - 10 * second, "2 years"}};
    for (const auto &[minutes, before, at] : boundaries) {
        rows.emplace_back(minutes * minute - second, before);
        rows.emplace_back(minutes * minute, at);
    }
    for (const auto &[msecs, words] : rows) {
        SCOPED_TRACE(std::to_string(msecs) + " ms");
        EXPECT_EQ(distanceOfTimeInWords(reference.addMSecs(-msecs), reference),
                  QString::fromUtf8(words));
        EXPECT_EQ(distanceOfTimeInWords(reference.addMSecs(msecs), reference),
                  QString::fromUtf8(words));
    }
    EXPECT_TRUE(distanceOfTimeInWords(QDateTime(), reference).isNull());
    EXPECT_TRUE(distanceOfTimeInWords(reference, QDateTime()).isNull());
}

// A translation changes the words and keeps the numbers. It is data: only its number conversion
// is filled, whatever else it holds.
TEST(RelativeDateWordsTest, TranslationsChangeTheWordsAndFillOnlyTheirNumber)
{
    QTranslator german;
    ASSERT_TRUE(german.load(u"qmfoundation_de"_s, QStringLiteral(QMF_TRANSLATIONS_DIR)));
    ASSERT_TRUE(QCoreApplication::installTranslator(&german));
    const std::pair<qint64, const char *> rows[] = {{30 * second, "weniger als eine Minute"},
                                                    {44 * minute, "44 Minuten"},
                                                    {60 * minute, "1 Stunde"},
                                                    {12 * day, "12 Tage"},
                                                    {1000 * day, "3 Jahre"}};
    for (const auto &[msecs, words] : rows)
        EXPECT_EQ(distanceOfTimeInWords(reference.addMSecs(-msecs), reference),
                  QString::fromUtf8(words));
    QCoreApplication::removeTranslator(&german);
    EXPECT_EQ(distanceOfTimeInWords(reference.addMSecs(-12 * day), reference), u"12 days"_s);

    // "%n" is Qt's own plural placeholder, which Qt fills in.
    const std::pair<QString, QString> translations[] = {
            {u"vor %li Tagen"_s, u"vor 12 Tagen"_s},
            {u"%ld%% of a year"_s, u"12% of a year"_s},
            {u"%s %n %@ %"_s, u"%s 12 %@ %"_s},
    };
    for (const auto &[translation, words] : translations) {
        SCOPED_TRACE(translation.toStdString());
        FixedTranslator translator(translation);
        ASSERT_TRUE(QCoreApplication::installTranslator(&translator));
        EXPECT_EQ(distanceOfTimeInWords(reference.addMSecs(12 * day), reference), words);
        QCoreApplication::removeTranslator(&translator);
    }
}

TEST(RelativeDateFormatterTest, WordsTodayYesterdayAndTomorrowInTheLocale)
{
    using Style = QMRelativeDateFormatter::TimeStyle;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QTimeZone utc = QTimeZone::utc();
    const struct
    {
        QLocale locale;
        QStringList words; // today, yesterday, tomorrow, the reference's day, its time
    } rows[] = {{QLocale(QLocale::English, QLocale::UnitedStates),
                 {u"today"_s, u"yesterday"_s, u"tomorrow"_s, u"March 4, 2021"_s, u"5:06"_s}},
                {QLocale(QLocale::German, QLocale::Germany),
                 {u"heute"_s, u"gestern"_s, u"morgen"_s, u"4. März 2021"_s, u"05:06"_s}}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.locale.name().toStdString());
        const QMRelativeDateFormatter date(Style::None, row.locale, utc);
        EXPECT_EQ(date.stringFromDate(now), row.words[0]);
        EXPECT_EQ(date.stringFromDate(now.addDays(-1)), row.words[1]);
        EXPECT_EQ(date.stringFromDate(now.addDays(1)), row.words[2]);
        EXPECT_EQ(date.stringFromDate(reference), row.words[3]);
        EXPECT_TRUE(date.stringFromDate(QDateTime()).isNull());
        // The day is the formatter's zone's: 20:00 UTC is the next day in India.
        EXPECT_EQ(QMRelativeDateFormatter(Style::None, row.locale, QTimeZone("Asia/Kolkata"))
                          .stringFromDate(reference.addSecs(15 * 3600)),
                  date.stringFromDate(reference.addDays(1)));
        const QMRelativeDateFormatter withTime(Style::Short, row.locale, utc);
        EXPECT_TRUE(withTime.stringFromDate(now).startsWith(row.words[0]));
        EXPECT_TRUE(withTime.stringFromDate(reference).contains(row.words[3]));
        EXPECT_TRUE(withTime.stringFromDate(reference).contains(row.words[4]));
    }
}
